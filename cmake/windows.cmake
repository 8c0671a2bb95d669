# The Windows side: setup.exe with its resources and payload, the sample
# game that the payload carries, and the tests that run under Wine.

set(INSTALLER_PRODUCT_NAME "Vellicot Marbrel" CACHE STRING
    "Start-menu group, link name and description, and the name in the dialogs")
set(INSTALLER_INSTALL_DIR "C:\\Program Files\\Vellicot Marbrel" CACHE STRING
    "Absolute install folder; its parent must exist")
set(INSTALLER_EXE_NAME "marbrel.exe" CACHE STRING "The game's executable inside the install folder")
set(INSTALLER_PAYLOAD_DIR "${PROJECT_SOURCE_DIR}/sample" CACHE PATH "The folder that setup.exe installs")
set(INSTALLER_PUBLISHER "Vellicot" CACHE STRING "The game's maker, named in the rights notice")
set(QUARN_EXECUTABLE "" CACHE FILEPATH "The host build's quarn packer")
set(MAKE_ICON_EXECUTABLE "" CACHE FILEPATH "The host build's icon generator")
foreach(tool QUARN_EXECUTABLE MAKE_ICON_EXECUTABLE)
    if(NOT ${tool})
        message(FATAL_ERROR "${tool} must name the host build's tool (make installer sets it)")
    endif()
endforeach()

# Small: dead sections go, symbols are stripped, and the C and C++ runtimes
# are linked in so only Windows' own DLLs are needed.
add_compile_options(-ffunction-sections -fdata-sections)
add_link_options(-static -Wl,--gc-sections -s)

# Windows' DLLs that the installer calls, besides kernel32, user32 and the C
# runtime that every program gets.
set(INSTALLER_SYSTEM_LIBRARIES comctl32 ole32 shell32)

# Nothing in the installer throws; without unwind tables the C++ runtime's
# exception support stays out of it. (64-bit Windows keeps its unwind data,
# which its stack walks need.)
set(INSTALLER_CODE_OPTIONS -Os -fno-exceptions -fno-rtti)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    list(APPEND INSTALLER_CODE_OPTIONS -fno-asynchronous-unwind-tables)
endif()
target_compile_options(core PRIVATE ${INSTALLER_CODE_OPTIONS})

add_library(installer_shell STATIC
    ${PROJECT_SOURCE_DIR}/shell/background_job.cpp
    ${PROJECT_SOURCE_DIR}/shell/dialogs.cpp
    ${PROJECT_SOURCE_DIR}/shortcut/start_menu_shortcut.cpp
)
target_compile_options(installer_shell PRIVATE ${INSTALLER_CODE_OPTIONS})
target_link_libraries(installer_shell PUBLIC core ${INSTALLER_SYSTEM_LIBRARIES})

set(INSTALLER_ICON ${CMAKE_BINARY_DIR}/app.ico)
add_custom_command(OUTPUT ${INSTALLER_ICON}
    COMMAND ${MAKE_ICON_EXECUTABLE} ${INSTALLER_ICON}
    DEPENDS ${MAKE_ICON_EXECUTABLE}
    COMMENT "Drawing the installer's icon")
add_custom_target(installer_icon DEPENDS ${INSTALLER_ICON})

# Quotes a value for a C string literal (C_NAME) and a resource-script
# string (RC_NAME).
function(quote_for_sources value c_name rc_name)
    string(REPLACE "\\" "\\\\" c "${value}")
    string(REPLACE "\"" "\\\"" c "${c}")
    string(REPLACE "\\" "\\\\" rc "${value}")
    string(REPLACE "\"" "\"\"" rc "${rc}")
    set(${c_name} "${c}" PARENT_SCOPE)
    set(${rc_name} "${rc}" PARENT_SCOPE)
endfunction()

# Generates the built-in values and the resource script (dialogs, icon,
# manifest, version, payload) for one set of values into DIR, and sets
# OUT_SOURCES to the two files. The dialog texts are made from the same
# values as the constants, so the two cannot disagree.
function(generate_installer_sources dir product install_dir exe_name payload out_sources)
    quote_for_sources("${product}" C_PRODUCT_NAME RC_PRODUCT_NAME)
    quote_for_sources("${install_dir}" C_INSTALL_DIR RC_INSTALL_DIR)
    quote_for_sources("${exe_name}" C_EXE_NAME RC_EXE_NAME)
    quote_for_sources("${INSTALLER_PUBLISHER}" C_PUBLISHER RC_PUBLISHER)
    string(REGEX REPLACE "[^A-Za-z0-9.]" "" MANIFEST_NAME "${INSTALLER_PUBLISHER}.${product}.Setup")
    string(REPLACE "&" "&amp;" PRODUCT_DESCRIPTION "${product} Setup")
    string(REPLACE "<" "&lt;" PRODUCT_DESCRIPTION "${PRODUCT_DESCRIPTION}")
    string(TIMESTAMP RC_YEAR "%Y" UTC)
    set(RC_ICON "${INSTALLER_ICON}")
    set(RC_PAYLOAD "${payload}")
    set(RC_MANIFEST "${dir}/setup.manifest")
    configure_file(${PROJECT_SOURCE_DIR}/shell/install_config.cpp.in ${dir}/install_config.cpp @ONLY)
    configure_file(${PROJECT_SOURCE_DIR}/resources/setup.manifest.in ${dir}/setup.manifest @ONLY)
    configure_file(${PROJECT_SOURCE_DIR}/resources/installer.rc.in ${dir}/installer.rc @ONLY)
    # The constants are 8-bit strings in the code page that Western Windows
    # uses, as the archive's names are.
    set_source_files_properties(${dir}/install_config.cpp PROPERTIES COMPILE_OPTIONS -fexec-charset=CP1252)
    set_source_files_properties(${dir}/installer.rc PROPERTIES
        OBJECT_DEPENDS "${INSTALLER_ICON};${payload};${dir}/setup.manifest")
    set(${out_sources} ${dir}/install_config.cpp ${dir}/installer.rc PARENT_SCOPE)
endfunction()

include(${CMAKE_CURRENT_LIST_DIR}/delay_load.cmake)

# 32-bit Windows names C functions with a leading underscore.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(INSTALLER_ENTRY _SetupStartup)
else()
    set(INSTALLER_ENTRY SetupStartup)
endif()

# setup.exe for one set of built-in values.
function(add_installer target output_name install_dir payload_target payload)
    generate_installer_sources(${CMAKE_CURRENT_BINARY_DIR}/${target}
        "${INSTALLER_PRODUCT_NAME}" "${install_dir}" "${INSTALLER_EXE_NAME}" ${payload} sources)
    add_executable(${target} WIN32
        ${PROJECT_SOURCE_DIR}/shell/win_main.cpp ${PROJECT_SOURCE_DIR}/shell/startup.cpp
        ${PROJECT_SOURCE_DIR}/shell/dll_search.cpp ${sources})
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${output_name})
    target_link_options(${target} PRIVATE -nostartfiles -Wl,--entry=${INSTALLER_ENTRY})
    target_compile_options(${target} PRIVATE ${INSTALLER_CODE_OPTIONS})
    target_link_libraries(${target} PRIVATE installer_shell)
    link_delay_loaded(${target})
    add_dependencies(${target} ${payload_target} installer_icon)
endfunction()

# The sample game's executable, staged into the sample payload.
add_executable(marbrel WIN32 ${PROJECT_SOURCE_DIR}/game/marbrel.cpp ${PROJECT_SOURCE_DIR}/game/marbrel.rc)
target_include_directories(marbrel PRIVATE ${CMAKE_BINARY_DIR})
set_source_files_properties(${PROJECT_SOURCE_DIR}/game/marbrel.rc PROPERTIES OBJECT_DEPENDS ${INSTALLER_ICON})
target_compile_options(marbrel PRIVATE -Os)
target_link_libraries(marbrel PRIVATE gdi32)
add_dependencies(marbrel installer_icon)

# The payload: the folder packed by quarn. The sample folder gets the game
# built above; any other folder is packed as it stands.
set(PAYLOAD_TREE ${CMAKE_BINARY_DIR}/payload-tree)
set(PAYLOAD_FILE ${CMAKE_BINARY_DIR}/payload.qua)
file(GLOB_RECURSE payload_inputs CONFIGURE_DEPENDS ${INSTALLER_PAYLOAD_DIR}/*)
set(stage_commands
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${PAYLOAD_TREE}
    COMMAND ${CMAKE_COMMAND} -E copy_directory ${INSTALLER_PAYLOAD_DIR} ${PAYLOAD_TREE})
if(INSTALLER_PAYLOAD_DIR STREQUAL "${PROJECT_SOURCE_DIR}/sample")
    list(APPEND stage_commands COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:marbrel> ${PAYLOAD_TREE}/)
    list(APPEND payload_inputs marbrel)
endif()
add_custom_command(OUTPUT ${PAYLOAD_FILE}
    ${stage_commands}
    COMMAND ${QUARN_EXECUTABLE} pack ${PAYLOAD_TREE} ${PAYLOAD_FILE}
    DEPENDS ${payload_inputs} ${QUARN_EXECUTABLE}
    COMMENT "Packing ${INSTALLER_PAYLOAD_DIR} into the payload")
add_custom_target(payload DEPENDS ${PAYLOAD_FILE})

add_installer(setup setup "${INSTALLER_INSTALL_DIR}" payload ${PAYLOAD_FILE})

# What a user's machine takes: Windows' own DLLs only, and a program of at
# most 64 KiB besides its payload, measured on a build with an empty one.
set(EMPTY_PAYLOAD_FILE ${CMAKE_BINARY_DIR}/empty-payload.qua)
add_custom_command(OUTPUT ${EMPTY_PAYLOAD_FILE}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/empty-tree
    COMMAND ${QUARN_EXECUTABLE} pack ${CMAKE_BINARY_DIR}/empty-tree ${EMPTY_PAYLOAD_FILE}
    DEPENDS ${QUARN_EXECUTABLE})
add_custom_target(empty_payload DEPENDS ${EMPTY_PAYLOAD_FILE})
add_installer(setup_empty_payload setup-empty-payload "${INSTALLER_INSTALL_DIR}" empty_payload ${EMPTY_PAYLOAD_FILE})
# ctest merges the properties of tests of the same name across the trees that
# one run covers, so each tree's tests carry its name.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(TEST_TREE win32.)
else()
    set(TEST_TREE win64.)
endif()
set(check_binary ${PROJECT_SOURCE_DIR}/tests/win32/check_setup_binary.sh ${CMAKE_OBJDUMP})
add_test(NAME ${TEST_TREE}setup_imports_windows_dlls_only COMMAND ${check_binary} $<TARGET_FILE:setup>)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    add_test(NAME ${TEST_TREE}setup_fits_64k COMMAND ${check_binary} $<TARGET_FILE:setup_empty_payload> 65536)
endif()

# Tests under Wine. Each run gets a fresh copy of one template prefix,
# shared by the build trees.
set(WINE_TEMPLATE ${CMAKE_BINARY_DIR}/../wine-template)
add_subdirectory(${PROJECT_SOURCE_DIR}/tests/win32 ${CMAKE_BINARY_DIR}/tests/win32)

# The same installer with an install folder whose parent does not exist.
add_installer(setup_no_parent setup-no-parent "C:\\No Such Parent\\${INSTALLER_PRODUCT_NAME}"
    payload ${PAYLOAD_FILE})
set(E2E_SETUP_TARGET setup)
set(E2E_NO_PARENT_SETUP_TARGET setup_no_parent)
set(E2E_PAYLOAD_TREE ${PAYLOAD_TREE})
add_subdirectory(${PROJECT_SOURCE_DIR}/tests/e2e ${CMAKE_BINARY_DIR}/tests/e2e)
