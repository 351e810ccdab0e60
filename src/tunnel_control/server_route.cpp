#include "tunnel_control/server_route.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

namespace marnu {
namespace {

// Answers come within milliseconds; a kernel that does not answer in time
// is taken to have no route.
constexpr int kAnswerMs = 1000;

UniqueFd netlink_socket(unsigned groups) {
    UniqueFd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE));
    if (!fd) return fd;
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = groups;
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return UniqueFd();
    return fd;
}

// An RTM_GETROUTE request: the route the kernel would take to `destination`.
std::vector<char> route_request(in_addr destination) {
    const size_t length = NLMSG_SPACE(sizeof(rtmsg)) + RTA_SPACE(sizeof(in_addr));
    std::vector<char> message(length, 0);
    auto* header = reinterpret_cast<nlmsghdr*>(message.data());
    header->nlmsg_len = static_cast<std::uint32_t>(length);
    header->nlmsg_type = RTM_GETROUTE;
    header->nlmsg_flags = NLM_F_REQUEST;
    header->nlmsg_seq = 1;
    auto* route = static_cast<rtmsg*>(NLMSG_DATA(header));
    route->rtm_family = AF_INET;
    route->rtm_dst_len = 32;
    auto* attribute = reinterpret_cast<rtattr*>(message.data() + NLMSG_SPACE(sizeof(rtmsg)));
    attribute->rta_type = RTA_DST;
    attribute->rta_len = RTA_LENGTH(sizeof(in_addr));
    std::memcpy(RTA_DATA(attribute), &destination, sizeof(in_addr));
    return message;
}

struct Route {
    unsigned type = RTN_UNSPEC;
    int interface = 0;
};

Route parse_route(const nlmsghdr* header) {
    const auto* message = static_cast<const rtmsg*>(NLMSG_DATA(header));
    Route route{.type = message->rtm_type, .interface = 0};
    int length = static_cast<int>(RTM_PAYLOAD(header));
    for (const rtattr* attribute = RTM_RTA(message); RTA_OK(attribute, length);
         attribute = RTA_NEXT(attribute, length)) {
        if (attribute->rta_type == RTA_OIF && RTA_PAYLOAD(attribute) == sizeof route.interface)
            std::memcpy(&route.interface, RTA_DATA(attribute), sizeof route.interface);
    }
    return route;
}

// The kernel's answer to `request`: the route, or nothing when it has none
// (an error answer) or does not answer.
std::optional<Route> look_up(const std::vector<char>& request) {
    const UniqueFd fd = netlink_socket(0);
    if (!fd || ::send(fd.get(), request.data(), request.size(), 0) < 0) return std::nullopt;
    alignas(nlmsghdr) char buffer[8192];
    for (;;) {
        pollfd entry{fd.get(), POLLIN, 0};
        if (::poll(&entry, 1, kAnswerMs) <= 0) return std::nullopt;
        const ssize_t got = ::recv(fd.get(), buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return std::nullopt;
        int length = static_cast<int>(got);
        for (auto* header = reinterpret_cast<const nlmsghdr*>(buffer); NLMSG_OK(header, length);
             header = NLMSG_NEXT(header, length))
            if (header->nlmsg_type == RTM_NEWROUTE) return parse_route(header);
        return std::nullopt;
    }
}

}  // namespace

bool route_outside_tunnel(in_addr server, const char* tunnel_device) {
    const int tunnel = static_cast<int>(::if_nametoindex(tunnel_device));
    const std::optional<Route> route = look_up(route_request(server));
    return route && route->type == RTN_UNICAST && (tunnel == 0 || route->interface != tunnel);
}

UniqueFd route_changes() { return netlink_socket(RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE); }

void discard_pending(int route_changes_fd) {
    char scratch[16384];
    for (;;) {
        const ssize_t got = ::recv(route_changes_fd, scratch, sizeof scratch, MSG_DONTWAIT);
        if (got < 0 && errno == EINTR) continue;
        // An overrun (ENOBUFS) loses only news of changes: the routes are read afresh.
        if (got <= 0 && errno != ENOBUFS) return;
    }
}

}  // namespace marnu
