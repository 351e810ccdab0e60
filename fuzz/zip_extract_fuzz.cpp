// ZIP extraction: any bytes, unpacked as the key bundle into a scratch
// directory that already holds symbolic links to a directory and a file
// outside it. Invariants: nothing crashes and only the client's own failure
// kinds come out; nothing outside the directory changes; what stands inside
// afterwards is the links left as they were, directories of mode 0700 on the
// way to a member and files of mode 0600 at a member's path, within the
// member and size limits; after a success each file has the size the archive
// declares for the last member at its path.
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "api/key_bundle.h"
#include "common/errors.h"
#include "fuzz_check.h"

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kOutsideText = "not to be touched\n";

fs::path scratch;  // made once, emptied for every input

const std::map<std::string, std::string>& planted_links() {
    static const std::map<std::string, std::string> links{
        {"link-to-directory", "../outside"},
        {"link-to-file", "../outside/file"},
        {"absolute-link", (scratch / "case" / "outside").string()},
        {"dangling-link", "../outside/missing"},
    };
    return links;
}

void prepare(const fs::path& fence) {
    fs::remove_all(fence);
    fs::create_directories(fence / "root");
    fs::create_directories(fence / "outside");
    std::ofstream(fence / "outside" / "file") << kOutsideText;
    for (const auto& [name, target] : planted_links()) fs::create_symlink(target, fence / "root" / name);
}

std::string contents(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::set<std::string> names_in(const fs::path& directory) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) names.insert(entry.path().filename().string());
    return names;
}

mode_t mode_of(const fs::path& path) {
    struct stat info {};
    FUZZ_CHECK(::lstat(path.c_str(), &info) == 0);
    FUZZ_CHECK(info.st_uid == ::geteuid());
    return info.st_mode;
}

// Where each member lands, as the archive's central directory says, and the
// declared size of the last file member there. Directories on the way count too.
struct Layout {
    std::map<std::string, std::uint64_t> files;
    std::set<std::string> directories;
};

struct ZipDiscard {
    void operator()(zip_t* archive) const { zip_discard(archive); }
};

// Components of a member name without the empty ones, "." and "..".
std::string landing_path(std::string_view name, Layout& layout) {
    std::string path;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string_view::npos) end = name.size();
        const std::string_view component = name.substr(start, end - start);
        if (!component.empty() && component != "." && component != "..") {
            if (!path.empty()) {
                layout.directories.insert(path);
                path += '/';
            }
            path += component;
        }
        start = end + 1;
    }
    return path;
}

Layout archive_layout(std::string_view bytes) {
    Layout layout;
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(bytes.data(), bytes.size(), 0, &error);
    FUZZ_CHECK(source != nullptr);
    const std::unique_ptr<zip_t, ZipDiscard> archive(zip_open_from_source(source, ZIP_RDONLY, &error));
    zip_error_fini(&error);
    FUZZ_CHECK(archive != nullptr);  // the client has just read it
    const zip_int64_t count = zip_get_num_entries(archive.get(), 0);
    for (zip_int64_t index = 0; index < count; ++index) {
        zip_stat_t info;
        FUZZ_CHECK(zip_stat_index(archive.get(), static_cast<zip_uint64_t>(index), 0, &info) == 0);
        const std::string name = info.name;
        const std::string path = landing_path(name, layout);
        if (name.ends_with('/')) {
            if (!path.empty()) layout.directories.insert(path);
        } else {
            layout.files[path] = info.size;
        }
    }
    return layout;
}

void check_outside_untouched(const fs::path& fence) {
    FUZZ_CHECK(names_in(fence) == (std::set<std::string>{"outside", "root"}));
    FUZZ_CHECK(names_in(fence / "outside") == std::set<std::string>{"file"});
    FUZZ_CHECK(fs::is_regular_file(fs::symlink_status(fence / "outside" / "file")));
    FUZZ_CHECK(contents(fence / "outside" / "file") == kOutsideText);
}

void check_inside(const fs::path& root, const Layout* layout) {
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const fs::path relative = entry.path().lexically_relative(root);
        const std::string path = relative.string();
        const fs::file_status status = entry.symlink_status();
        if (fs::is_symlink(status)) {
            const auto planted = planted_links().find(path);
            FUZZ_CHECK(planted != planted_links().end());
            FUZZ_CHECK(fs::read_symlink(entry.path()).string() == planted->second);
        } else if (fs::is_directory(status)) {
            FUZZ_CHECK((mode_of(entry.path()) & 07777) == 0700);
            if (layout) FUZZ_CHECK(layout->directories.contains(path));
        } else {
            FUZZ_CHECK(fs::is_regular_file(status));
            FUZZ_CHECK((mode_of(entry.path()) & 07777) == 0600);
            const std::uint64_t size = fs::file_size(entry.path());
            ++files;
            bytes += size;
            if (layout) {
                const auto member = layout->files.find(path);
                FUZZ_CHECK(member != layout->files.end());
                FUZZ_CHECK(member->second == size);
            }
        }
    }
    FUZZ_CHECK(files <= marnu::kMaxBundleMembers);
    FUZZ_CHECK(bytes <= marnu::kMaxBundleBytes);
    if (layout)
        for (const auto& [path, size] : layout->files) FUZZ_CHECK(fs::is_regular_file(fs::symlink_status(root / path)));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char name[] = "zip-scratch-XXXXXX";
    FUZZ_CHECK(::mkdtemp(name) != nullptr);
    scratch = fs::absolute(name);
    std::atexit([] { fs::remove_all(scratch); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const fs::path fence = scratch / "case";
    prepare(fence);
    bool unpacked = false;
    try {
        marnu::extract_key_bundle(bytes, (fence / "root").string());
        unpacked = true;
    } catch (const marnu::InvalidValue&) {
    } catch (const marnu::OsFailure&) {
    }
    check_outside_untouched(fence);
    if (unpacked) {
        const Layout layout = archive_layout(bytes);
        check_inside(fence / "root", &layout);
    } else {
        check_inside(fence / "root", nullptr);
    }
    return 0;
}
