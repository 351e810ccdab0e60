#include "api/zip_library.h"

#include "common/shared_library.h"

namespace marnu {
namespace {

ZipLibrary load() {
    // The build names the libzip it compiled against.
    static const SharedLibrary library(MARNU_ZIP_SONAME);
#define MARNU_ZIP_FUNCTION(name) .name = library.function<decltype(::zip_##name)>("zip_" #name)
    return {
        MARNU_ZIP_FUNCTION(source_buffer_create),
        MARNU_ZIP_FUNCTION(source_free),
        MARNU_ZIP_FUNCTION(open_from_source),
        MARNU_ZIP_FUNCTION(discard),
        MARNU_ZIP_FUNCTION(error_init),
        MARNU_ZIP_FUNCTION(error_fini),
        MARNU_ZIP_FUNCTION(error_code_zip),
        MARNU_ZIP_FUNCTION(error_strerror),
        MARNU_ZIP_FUNCTION(get_num_entries),
        MARNU_ZIP_FUNCTION(stat_init),
        MARNU_ZIP_FUNCTION(stat_index),
        MARNU_ZIP_FUNCTION(strerror),
        MARNU_ZIP_FUNCTION(fopen_index),
        MARNU_ZIP_FUNCTION(fclose),
        MARNU_ZIP_FUNCTION(fread),
        MARNU_ZIP_FUNCTION(get_error),
        MARNU_ZIP_FUNCTION(file_get_error),
    };
#undef MARNU_ZIP_FUNCTION
}

}  // namespace

const ZipLibrary& zip_library() {
    static const ZipLibrary functions = load();
    return functions;
}

}  // namespace marnu
