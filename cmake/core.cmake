# The portable core: payload reader, archive extractor, path helpers and the
# platform layer underneath them. Included by the project and by fuzz/ when
# that folder is configured on its own.
find_package(ZLIB REQUIRED)
get_filename_component(core_root ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
if(WIN32)
    set(core_platform ${core_root}/platform/platform_win32.cpp ${core_root}/platform/payload_file_win32.cpp)
else()
    set(core_platform ${core_root}/platform/platform_native.cpp)
endif()
add_library(core STATIC
    ${core_root}/payload/payload_view.cpp
    ${core_root}/payload/appended_payload.cpp
    ${core_root}/payload/inflating_reader.cpp
    ${core_root}/payload/archive_extractor.cpp
    ${core_root}/payload/payload_range.cpp
    ${core_root}/shortcut/path_helpers.cpp
    ${core_platform}
)
target_include_directories(core PUBLIC ${core_root})
target_link_libraries(core PUBLIC ZLIB::ZLIB)
if(WIN32)
    # The appended payload's windows are checked with CNG's SHA-256.
    target_link_libraries(core PUBLIC bcrypt)
endif()
