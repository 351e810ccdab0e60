#include "api/key_bundle.h"

#include <unistd.h>

#include <memory>
#include <new>

#include "api/zip_library.h"
#include "common/errors.h"
#include "common/host_paths.h"
#include "common/private_files.h"

namespace marnu {
namespace {

struct ZipDiscard {
    void operator()(zip_t* archive) const { zip_library().discard(archive); }
};
struct ZipFileClose {
    void operator()(zip_file_t* file) const { zip_library().fclose(file); }
};
struct ZipSourceFree {
    void operator()(zip_source_t* source) const { zip_library().source_free(source); }
};
using ZipArchive = std::unique_ptr<zip_t, ZipDiscard>;
using ZipFile = std::unique_ptr<zip_file_t, ZipFileClose>;
using ZipSource = std::unique_ptr<zip_source_t, ZipSourceFree>;

struct ZipError {
    zip_error_t value;
    ZipError() { zip_library().error_init(&value); }
    ~ZipError() { zip_library().error_fini(&value); }
    ZipError(const ZipError&) = delete;
    ZipError& operator=(const ZipError&) = delete;
};

struct Member {
    zip_uint64_t index;
    std::string name;
    std::vector<std::string> path;
    bool directory;
    zip_uint64_t size;
};

std::string quoted(const std::string& name) { return "\"" + name + "\""; }

[[noreturn]] void not_a_zip() { throw InvalidValue("The key bundle is not a ZIP archive."); }

[[noreturn]] void encrypted(const std::string& name) {
    throw InvalidValue("The key bundle member " + quoted(name) + " is encrypted; encrypted members are not supported.");
}

ZipArchive open_archive(std::string_view bytes) {
    // libzip takes an empty source for an empty archive; an empty body is no archive.
    if (bytes.empty()) not_a_zip();
    ZipError error;
    ZipSource source(zip_library().source_buffer_create(bytes.data(), bytes.size(), 0, &error.value));
    if (!source) throw std::bad_alloc();
    ZipArchive archive(zip_library().open_from_source(source.get(), ZIP_RDONLY, &error.value));
    if (!archive) {
        if (zip_library().error_code_zip(&error.value) == ZIP_ER_NOZIP) not_a_zip();
        throw InvalidValue(std::string("The key bundle is not a usable ZIP archive: ") +
                           zip_library().error_strerror(&error.value) + ".");
    }
    source.release();  // the archive owns it now
    return archive;
}

// Reads the central directory and refuses the archive before anything is written.
std::vector<Member> list_members(zip_t* archive) {
    const zip_int64_t count = zip_library().get_num_entries(archive, 0);
    if (count < 0) not_a_zip();
    if (static_cast<zip_uint64_t>(count) > kMaxBundleMembers)
        throw InvalidValue("The key bundle holds " + std::to_string(count) + " members; at most " +
                           std::to_string(kMaxBundleMembers) + " are accepted.");
    std::vector<Member> members;
    zip_uint64_t total = 0;
    for (zip_uint64_t index = 0; index < static_cast<zip_uint64_t>(count); ++index) {
        zip_stat_t info;
        zip_library().stat_init(&info);
        if (zip_library().stat_index(archive, index, 0, &info) != 0 || !(info.valid & ZIP_STAT_NAME) ||
            !(info.valid & ZIP_STAT_SIZE))
            throw InvalidValue(std::string("The key bundle is damaged: ") + zip_library().strerror(archive) + ".");
        const std::string name = info.name;
        if ((info.valid & ZIP_STAT_ENCRYPTION_METHOD) && info.encryption_method != ZIP_EM_NONE) encrypted(name);
        if (info.size > kMaxBundleBytes - total)
            throw InvalidValue("The key bundle would unpack to more than " + std::to_string(kMaxBundleBytes >> 20) +
                               " MiB; it is refused.");
        total += info.size;
        Member member{index, name, member_path(name), name.ends_with('/'), info.size};
        if (!member.directory && member.path.empty())
            throw InvalidValue("The key bundle member " + quoted(name) + " has no usable file name.");
        members.push_back(std::move(member));
    }
    return members;
}

[[noreturn]] void unreadable(const std::string& name, zip_error_t* error) {
    switch (zip_library().error_code_zip(error)) {
        case ZIP_ER_CRC:
            throw InvalidValue("The key bundle member " + quoted(name) + " is damaged: its CRC-32 check failed.");
        case ZIP_ER_NOPASSWD:
        case ZIP_ER_ENCRNOTSUPP:
            encrypted(name);
        default:
            throw InvalidValue("Could not read the key bundle member " + quoted(name) + ": " +
                               zip_library().error_strerror(error) + ".");
    }
}

// The member's data, read to its end so that libzip checks its CRC-32.
std::string read_member(zip_t* archive, const Member& member) {
    const ZipFile file(zip_library().fopen_index(archive, member.index, 0));
    if (!file) unreadable(member.name, zip_library().get_error(archive));
    std::string data;
    data.reserve(member.size);
    char chunk[65536];
    for (;;) {
        const zip_int64_t got = zip_library().fread(file.get(), chunk, sizeof chunk);
        if (got < 0) unreadable(member.name, zip_library().file_get_error(file.get()));
        // A size that does not match the data means the archive is damaged,
        // even where the CRC-32 of what is there matches.
        if (got == 0) {
            if (data.size() < member.size)
                throw InvalidValue("The key bundle member " + quoted(member.name) +
                                   " holds less data than it declares; it is refused.");
            return data;
        }
        if (static_cast<zip_uint64_t>(got) > member.size - data.size())
            throw InvalidValue("The key bundle member " + quoted(member.name) +
                               " holds more data than it declares; it is refused.");
        data.append(chunk, static_cast<size_t>(got));
    }
}

}  // namespace

std::vector<std::string> member_path(std::string_view name) {
    std::vector<std::string> path;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string_view::npos) end = name.size();
        const std::string_view component = name.substr(start, end - start);
        if (!component.empty() && component != "." && component != "..") path.emplace_back(component);
        start = end + 1;
    }
    return path;
}

void extract_key_bundle(std::string_view bytes, const std::string& root) {
    const ZipArchive archive = open_archive(bytes);
    const std::vector<Member> members = list_members(archive.get());
    PrivateTree tree(root);
    for (const Member& member : members) {
        if (member.directory)
            tree.make_directories(member.path);
        else
            tree.write_file(member.path, read_member(archive.get(), member));
    }
}

void enter_key_directory() {
    if (::chdir(kKeyDirectory) != 0) throw_errno("Could not change the working directory", kKeyDirectory);
}

}  // namespace marnu
