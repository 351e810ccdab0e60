// The functions of libzip that the client calls, loaded at the first key
// bundle rather than with the module.
#pragma once

#include <zip.h>

namespace marnu {

struct ZipLibrary {
    decltype(&::zip_source_buffer_create) source_buffer_create;
    decltype(&::zip_source_free) source_free;
    decltype(&::zip_open_from_source) open_from_source;
    decltype(&::zip_discard) discard;
    decltype(&::zip_error_init) error_init;
    decltype(&::zip_error_fini) error_fini;
    decltype(&::zip_error_code_zip) error_code_zip;
    decltype(&::zip_error_strerror) error_strerror;
    decltype(&::zip_get_num_entries) get_num_entries;
    decltype(&::zip_stat_init) stat_init;
    decltype(&::zip_stat_index) stat_index;
    decltype(&::zip_strerror) strerror;
    decltype(&::zip_fopen_index) fopen_index;
    decltype(&::zip_fclose) fclose;
    decltype(&::zip_fread) fread;
    decltype(&::zip_get_error) get_error;
    decltype(&::zip_file_get_error) file_get_error;
};

// libzip, loaded by the first call from any thread. Throws OsFailure when it
// cannot be loaded; a later call tries again.
const ZipLibrary& zip_library();

}  // namespace marnu
