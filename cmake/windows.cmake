# The Windows side: setup.exe with its resources and payload, the sample
# game that the payload carries, and the tests that run under Wine.

# The installer's configuration. Everything else (the constants, the dialog
# texts, the demo and the tests) takes these from the build.
set(INSTALLER_PRODUCT_NAME "Vellicot Marbrel" CACHE STRING
    "Start-menu group, link name and description, and the name in the dialogs")
set(INSTALLER_INSTALL_DIR "C:\\Program Files\\Vellicot Marbrel" CACHE STRING
    "Absolute install folder; its parent must exist")
set(INSTALLER_EXE_NAME "marbrel.exe" CACHE STRING
    "The game's executable: a file of the payload, with a backslash between folders")
set(INSTALLER_PAYLOAD_DIR "${PROJECT_SOURCE_DIR}/sample" CACHE PATH "The folder that setup.exe installs")
set(INSTALLER_PUBLISHER "Vellicot" CACHE STRING "The game's maker, named in the rights notice and version")
set(INSTALLER_NAME_ENCODING "windows-1252" CACHE STRING
    "The code page of every name setup.exe holds and writes: windows-1252 or utf-8")
set(INSTALLER_PAYLOAD_LEVEL 12 CACHE STRING "quarn's compression level for the payload, 0 (stored) to 12 (smallest)")
if(NOT INSTALLER_PAYLOAD_LEVEL MATCHES "^([0-9]|1[0-2])$")
    message(FATAL_ERROR "PAYLOAD_LEVEL must be a number from 0 to 12, not '${INSTALLER_PAYLOAD_LEVEL}'")
endif()
set(INSTALLER_SOURCE_DATE_EPOCH "" CACHE STRING
    "Seconds since 1970 for the PE time stamp and the rights notice's year; empty: SOURCE_DATE_EPOCH from the environment, else the last commit's time")
set(INSTALLER_VERSION "1.0.0.0" CACHE STRING "The game's version: one to four numbers from 0 to 65535, joined by dots")
set(INSTALLER_SIGN_PKCS12 "" CACHE FILEPATH "Signs setup.exe with this PKCS#12 key and certificate when set")
set(INSTALLER_SIGN_PKCS11_MODULE "" CACHE FILEPATH "Signs setup.exe with a key on a token, through its PKCS#11 module")
set(INSTALLER_SIGN_KEY "" CACHE STRING "The pkcs11: URI of the key on the token")
set(INSTALLER_SIGN_CERTS "" CACHE FILEPATH "The PEM file of the token key's certificate and its chain")
set(INSTALLER_SIGN_PASSWORD_FILE "" CACHE FILEPATH "The file holding the PKCS#12 password or the token's PIN")
set(INSTALLER_SIGN_COMMAND "" CACHE STRING
    "Signs setup.exe with this command, given the path of a copy to sign in place")
set(INSTALLER_SIGN_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamping servers, tried in order, for the signature")
set(INSTALLER_FORCE_APPENDED OFF CACHE BOOL
    "For tests: carry the payload after the image even when it would fit a resource")
set(QUARN_EXECUTABLE "" CACHE FILEPATH "The host build's quarn packer")
set(MAKE_ICON_EXECUTABLE "" CACHE FILEPATH "The host build's icon generator")
set(ATTACH_PAYLOAD_EXECUTABLE "" CACHE FILEPATH "The host build's payload attacher")
foreach(tool QUARN_EXECUTABLE MAKE_ICON_EXECUTABLE ATTACH_PAYLOAD_EXECUTABLE)
    if(NOT ${tool})
        message(FATAL_ERROR "${tool} must name the host build's tool (make installer sets it)")
    endif()
endforeach()

# A folder outside Program Files takes the access rules of the drive's root,
# under which every account may change the installed files; the build says
# so, once, without refusing.
string(TOLOWER "${INSTALLER_INSTALL_DIR}" install_dir_lower)
if(NOT install_dir_lower MATCHES "^c:\\\\program files( \\(x86\\))?\\\\")
    message(NOTICE "warning: ${INSTALLER_INSTALL_DIR} is outside C:\\Program Files: every account of the player's "
                   "machine may change the files installed there, and so run its own code as whoever starts the game next")
endif()

# The version block's and the manifest's four numbers; the product's
# version string keeps as many as were given. (A refusal starts with a space,
# which keeps CMake from folding it onto more lines.)
if(NOT INSTALLER_VERSION MATCHES "^[0-9]+(\\.[0-9]+)?(\\.[0-9]+)?(\\.[0-9]+)?$")
    message(FATAL_ERROR " VERSION ${INSTALLER_VERSION}: not one to four numbers from 0 to 65535 joined by dots")
endif()
string(REPLACE "." ";" version_parts "${INSTALLER_VERSION}")
set(INSTALLER_VERSION_GIVEN "")
foreach(part IN LISTS version_parts)
    string(LENGTH "${part}" digits)
    if(digits GREATER 5 OR part GREATER 65535)
        message(FATAL_ERROR " VERSION ${INSTALLER_VERSION}: ${part} is over 65535, the most a version number may be")
    endif()
    math(EXPR part "${part}")  # no leading zeros
    list(APPEND INSTALLER_VERSION_GIVEN ${part})
endforeach()
set(version_parts ${INSTALLER_VERSION_GIVEN})
list(LENGTH version_parts count)
while(count LESS 4)
    list(APPEND version_parts 0)
    math(EXPR count "${count} + 1")
endwhile()
string(REPLACE ";" ", " RC_VERSION_NUMBERS "${version_parts}")
string(REPLACE ";" "." RC_FILE_VERSION "${version_parts}")
string(REPLACE ";" "." RC_PRODUCT_VERSION "${INSTALLER_VERSION_GIVEN}")

# The one moment the build's time stamps name, so that the same sources give
# the same bytes whenever they are built.
if(NOT INSTALLER_SOURCE_DATE_EPOCH STREQUAL "")
    set(INSTALLER_EPOCH "${INSTALLER_SOURCE_DATE_EPOCH}")
elseif(NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
    set(INSTALLER_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
else()
    execute_process(COMMAND git log -1 --format=%ct WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
        OUTPUT_VARIABLE INSTALLER_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(INSTALLER_EPOCH STREQUAL "")
        string(TIMESTAMP INSTALLER_EPOCH "%s" UTC)
        message(WARNING "No SOURCE_DATE_EPOCH and no commit to take the time from: this build's time stamps "
                        "come from the clock, so it cannot be reproduced")
    endif()
endif()
if(NOT INSTALLER_EPOCH MATCHES "^[0-9]+$")
    message(FATAL_ERROR "SOURCE_DATE_EPOCH must be a count of seconds, not '${INSTALLER_EPOCH}'")
endif()
# string(TIMESTAMP) reads it from the environment, and so does the linker,
# for the PE header's time stamp of every program built here (the sample game
# travels inside the payload).
set(ENV{SOURCE_DATE_EPOCH} ${INSTALLER_EPOCH})
string(TIMESTAMP INSTALLER_YEAR "%Y" UTC)
set(CMAKE_CXX_LINKER_LAUNCHER ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${INSTALLER_EPOCH})

# Small: dead sections go, symbols are stripped, and the C and C++ runtimes
# are linked in so only Windows' own DLLs are needed.
add_compile_options(-ffunction-sections -fdata-sections)
add_link_options(-static -Wl,--gc-sections -s)

# Windows' DLLs that the installer calls, besides kernel32, user32 and the C
# runtime that every program gets.
set(INSTALLER_SYSTEM_LIBRARIES comctl32 ole32 shell32)

# A 32-bit tree builds the installer that ships; the other is its 64-bit twin.
string(COMPARE EQUAL "${CMAKE_SIZEOF_VOID_P}" 4 WINDOWS_32BIT)

# Nothing in the installer throws; without unwind tables the C++ runtime's
# exception support stays out of it. (64-bit Windows keeps its unwind data,
# which its stack walks need.)
set(INSTALLER_CODE_OPTIONS -Os -fno-exceptions -fno-rtti)
if(WINDOWS_32BIT)
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

# The code page, the compiler's name for it and the version block's code
# page of a name encoding.
function(name_encoding_settings encoding)
    string(TOLOWER "${encoding}" encoding)
    if(encoding STREQUAL "windows-1252")
        set(NAME_CODE_PAGE 1252 PARENT_SCOPE)
        set(NAME_CHARSET CP1252 PARENT_SCOPE)
        set(RC_VERSION_CODE_PAGE 1252 PARENT_SCOPE)
        set(RC_VERSION_BLOCK 040904E4 PARENT_SCOPE)
    elseif(encoding STREQUAL "utf-8")
        set(NAME_CODE_PAGE 65001 PARENT_SCOPE)
        set(NAME_CHARSET UTF-8 PARENT_SCOPE)
        # The version strings are UTF-16 either way; 1200 says so.
        set(RC_VERSION_CODE_PAGE 1200 PARENT_SCOPE)
        set(RC_VERSION_BLOCK 040904B0 PARENT_SCOPE)
    else()
        message(FATAL_ERROR "NAME_ENCODING must be windows-1252 or utf-8, not '${encoding}'")
    endif()
endfunction()
name_encoding_settings("${INSTALLER_NAME_ENCODING}")  # refuses a bad value early

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

# A value as one word of a POSIX shell.
function(quote_for_shell value out_name)
    string(REPLACE "'" "'\\''" quoted "${value}")
    set(${out_name} "'${quoted}'" PARENT_SCOPE)
endfunction()

# Sets PREFIX_NAME, for each NAME VALUE pair, to VALUE where it is unset, in
# the caller's scope. Read one argument at a time: a value that ends in a
# backslash would join the next one in a list.
function(take_defaults prefix)
    foreach(index RANGE 1 ${ARGC} 2)
        math(EXPR next "${index} + 1")
        if(next LESS ARGC AND NOT DEFINED ${prefix}_${ARGV${index}})
            set(${prefix}_${ARGV${index}} "${ARGV${next}}" PARENT_SCOPE)
        endif()
    endforeach()
endfunction()

# Generates the built-in values and the resource script (dialogs, icon,
# manifest, version, payload) for one configuration into DIR, and sets
# OUT_SOURCES to the two files. The dialog texts are made from the same
# values as the constants, so the two cannot disagree. DIR/installer.env
# hands the same values, and the folder the payload was packed from, to the
# demo and the tests as shell assignments.
#   generate_installer_sources(DIR OUT_SOURCES [PRODUCT NAME] [INSTALL_DIR PATH] [EXE_NAME FILE]
#                              [PAYLOAD_TARGET TARGET] [APPENDED])
# Unset values are the product's own; PAYLOAD_TARGET (default payload) is an
# add_payload target, or any target with the properties PAYLOAD_FILE,
# PAYLOAD_TREE and NAME_ENCODING; the names are written in the payload's
# encoding. The payload resource is DIR/payload-resource.bin: the payload
# itself, or the record of a payload carried after the image (over 1 GiB,
# or with APPENDED), which add_installer then appends.
function(generate_installer_sources dir out_sources)
    cmake_parse_arguments(PARSE_ARGV 2 arg "APPENDED" "PRODUCT;INSTALL_DIR;EXE_NAME;PAYLOAD_TARGET" "")
    take_defaults(arg PRODUCT "${INSTALLER_PRODUCT_NAME}" INSTALL_DIR "${INSTALLER_INSTALL_DIR}"
        EXE_NAME "${INSTALLER_EXE_NAME}" PAYLOAD_TARGET payload)
    set(product "${arg_PRODUCT}")
    set(install_dir "${arg_INSTALL_DIR}")
    set(exe_name "${arg_EXE_NAME}")
    get_target_property(payload ${arg_PAYLOAD_TARGET} PAYLOAD_FILE)
    get_target_property(payload_tree ${arg_PAYLOAD_TARGET} PAYLOAD_TREE)
    get_target_property(encoding ${arg_PAYLOAD_TARGET} NAME_ENCODING)
    name_encoding_settings("${encoding}")
    quote_for_sources("${product}" C_PRODUCT_NAME RC_PRODUCT_NAME)
    quote_for_sources("${install_dir}" C_INSTALL_DIR RC_INSTALL_DIR)
    quote_for_sources("${exe_name}" C_EXE_NAME RC_EXE_NAME)
    quote_for_sources("${INSTALLER_PUBLISHER}" C_PUBLISHER RC_PUBLISHER)
    string(REGEX REPLACE "[^A-Za-z0-9.]" "" MANIFEST_NAME "${INSTALLER_PUBLISHER}.${product}.Setup")
    string(REPLACE "&" "&amp;" PRODUCT_DESCRIPTION "${product} Setup")
    string(REPLACE "<" "&lt;" PRODUCT_DESCRIPTION "${PRODUCT_DESCRIPTION}")
    set(RC_YEAR "${INSTALLER_YEAR}")
    set(RC_ICON "${INSTALLER_ICON}")
    # The payload's size is known only once it is packed, so the build
    # decides its form.
    set(RC_PAYLOAD "${dir}/payload-resource.bin")
    set(appended "")
    if(arg_APPENDED OR INSTALLER_FORCE_APPENDED)
        set(appended --appended)
    endif()
    # Rewritten only when the form asked for changes, so that a new one
    # makes the resource again.
    file(CONFIGURE OUTPUT ${dir}/payload-form.txt CONTENT "${appended}\n")
    add_custom_command(OUTPUT ${RC_PAYLOAD}
        COMMAND ${ATTACH_PAYLOAD_EXECUTABLE} resource ${payload} ${RC_PAYLOAD} ${appended}
        DEPENDS ${payload} ${ATTACH_PAYLOAD_EXECUTABLE} ${dir}/payload-form.txt
        VERBATIM)
    set(RC_MANIFEST "${dir}/setup.manifest")
    configure_file(${PROJECT_SOURCE_DIR}/shell/install_config.cpp.in ${dir}/install_config.cpp @ONLY)
    configure_file(${PROJECT_SOURCE_DIR}/resources/setup.manifest.in ${dir}/setup.manifest @ONLY)
    configure_file(${PROJECT_SOURCE_DIR}/resources/installer.rc.in ${dir}/installer.rc @ONLY)
    # The constants are 8-bit strings in the build's code page, as the
    # archive's names are.
    set_source_files_properties(${dir}/install_config.cpp PROPERTIES COMPILE_OPTIONS -fexec-charset=${NAME_CHARSET})
    set_source_files_properties(${dir}/installer.rc PROPERTIES
        OBJECT_DEPENDS "${INSTALLER_ICON};${RC_PAYLOAD};${dir}/payload-form.txt;${dir}/setup.manifest")

    # By name, not as lists, which would split a value at ';'.
    set(env "")
    set(name_encoding "${encoding}")
    foreach(name product install_dir exe_name payload_tree name_encoding)
        quote_for_shell("${${name}}" quoted)
        string(APPEND env "${name}=${quoted}\n")
    endforeach()
    # Rewritten only when it changes, like the generated sources.
    set(old_env "")
    if(EXISTS ${dir}/installer.env)
        file(READ ${dir}/installer.env old_env)
    endif()
    if(NOT old_env STREQUAL env)
        file(WRITE ${dir}/installer.env "${env}")
    endif()
    set(${out_sources} ${dir}/install_config.cpp ${dir}/installer.rc PARENT_SCOPE)
endfunction()

include(${CMAKE_CURRENT_LIST_DIR}/delay_load.cmake)

# 32-bit Windows names C functions with a leading underscore.
if(WINDOWS_32BIT)
    set(INSTALLER_ENTRY _SetupStartup)
else()
    set(INSTALLER_ENTRY SetupStartup)
endif()

# The image flags that scanners of installers look for, besides ASLR and
# DEP (which ld sets, keeping the relocations ASLR needs): aware of terminal
# servers, and, for 32-bit code, NO_SEH, since it registers no structured
# exception handler (no %fs:0 in the code; check_setup_binary.sh checks it),
# which scanners that demand SafeSEH accept in its place.
set(INSTALLER_HARDENING -Wl,--tsaware)
if(WINDOWS_32BIT)
    list(APPEND INSTALLER_HARDENING -Wl,--no-seh)
endif()
# And, for 32-bit code, without the unwind tables that no code reads.
set(INSTALLER_LINK_SCRIPT "")
if(WINDOWS_32BIT)
    set(INSTALLER_LINK_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/discard_unwind_tables.ld)
endif()

# setup.exe for one configuration, named after the target with dashes; takes
# the values of generate_installer_sources.
function(add_installer target)
    cmake_parse_arguments(PARSE_ARGV 1 arg "APPENDED" "PRODUCT;INSTALL_DIR;EXE_NAME;PAYLOAD_TARGET" "")
    take_defaults(arg PRODUCT "${INSTALLER_PRODUCT_NAME}" INSTALL_DIR "${INSTALLER_INSTALL_DIR}"
        EXE_NAME "${INSTALLER_EXE_NAME}" PAYLOAD_TARGET payload)
    set(dir ${CMAKE_CURRENT_BINARY_DIR}/${target})
    set(appended "")
    if(arg_APPENDED)
        set(appended APPENDED)
    endif()
    # Each value as one argument: forwarded as a list, one with ';' or a
    # trailing backslash would not arrive whole.
    generate_installer_sources(${dir} sources PRODUCT "${arg_PRODUCT}" INSTALL_DIR "${arg_INSTALL_DIR}"
        EXE_NAME "${arg_EXE_NAME}" PAYLOAD_TARGET ${arg_PAYLOAD_TARGET} ${appended})
    string(REPLACE "_" "-" output_name ${target})
    add_executable(${target} WIN32
        ${PROJECT_SOURCE_DIR}/shell/win_main.cpp ${PROJECT_SOURCE_DIR}/shell/startup.cpp
        ${PROJECT_SOURCE_DIR}/shell/dll_search.cpp ${sources})
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${output_name}
        INSTALLER_CONFIG ${dir}/installer.env)
    # ld 2.44 (Debian 13) cannot read back the resource section of a program
    # it strips while linking, and says so as an error although the program is
    # whole; stripped after the link instead, it is the same file.
    get_target_property(link_options ${target} LINK_OPTIONS)
    list(REMOVE_ITEM link_options -s)
    set_target_properties(${target} PROPERTIES LINK_OPTIONS "${link_options}")
    target_link_options(${target} PRIVATE -nostartfiles -Wl,--entry=${INSTALLER_ENTRY} ${INSTALLER_HARDENING})
    if(INSTALLER_LINK_SCRIPT)
        target_link_options(${target} PRIVATE -Wl,-T,${INSTALLER_LINK_SCRIPT})
        set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${INSTALLER_LINK_SCRIPT})
    endif()
    target_compile_options(${target} PRIVATE ${INSTALLER_CODE_OPTIONS})
    target_link_libraries(${target} PRIVATE installer_shell)
    link_delay_loaded(${target})
    add_dependencies(${target} ${arg_PAYLOAD_TARGET} installer_icon)
    # After the link and before any signing, which covers what is appended.
    get_target_property(payload ${arg_PAYLOAD_TARGET} PAYLOAD_FILE)
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${INSTALLER_EPOCH} ${CMAKE_STRIP} --strip-all
                $<TARGET_FILE:${target}>
        COMMAND ${ATTACH_PAYLOAD_EXECUTABLE} append $<TARGET_FILE:${target}> ${payload} ${dir}/payload-resource.bin
        VERBATIM)
endfunction()

# The sample game's executable, staged into the sample payload.
add_executable(marbrel WIN32 ${PROJECT_SOURCE_DIR}/game/marbrel.cpp ${PROJECT_SOURCE_DIR}/game/marbrel.rc)
target_include_directories(marbrel PRIVATE ${CMAKE_BINARY_DIR})
set_source_files_properties(${PROJECT_SOURCE_DIR}/game/marbrel.rc PROPERTIES OBJECT_DEPENDS ${INSTALLER_ICON})
target_compile_options(marbrel PRIVATE -Os)
target_link_libraries(marbrel PRIVATE gdi32)
add_dependencies(marbrel installer_icon)

# A payload target: SOURCE (one folder, or several copied over each other in
# order) copied to TREE and packed by quarn into PAYLOAD,
# which is checked against the installer it goes into (PRODUCT, INSTALL_DIR,
# EXE_NAME) before anything is written, its names in ENCODING. A tree made
# from the sample folder gets the game built above as GAME_NAME; any other is
# packed as it stands. Unset values are the product's: INSTALLER_PAYLOAD_DIR into
# TARGET-tree and TARGET.qua of the build folder, and the product's names
# and encoding.
function(add_payload target)
    cmake_parse_arguments(PARSE_ARGV 1 arg ""
        "TREE;PAYLOAD;GAME_NAME;PRODUCT;INSTALL_DIR;EXE_NAME;ENCODING" "SOURCE")
    string(REPLACE "_" "-" name ${target})
    take_defaults(arg SOURCE "${INSTALLER_PAYLOAD_DIR}" TREE "${CMAKE_BINARY_DIR}/${name}-tree"
        PAYLOAD "${CMAKE_BINARY_DIR}/${name}.qua" GAME_NAME marbrel.exe PRODUCT "${INSTALLER_PRODUCT_NAME}"
        INSTALL_DIR "${INSTALLER_INSTALL_DIR}" EXE_NAME "${INSTALLER_EXE_NAME}" ENCODING "${INSTALLER_NAME_ENCODING}")
    # The level and encoding it was packed with, rewritten only when they
    # change, so that new ones pack it again (a custom command does not run
    # again for a changed command line alone).
    set(stamp ${CMAKE_BINARY_DIR}/${name}-settings.txt)
    file(CONFIGURE OUTPUT ${stamp} CONTENT "level ${INSTALLER_PAYLOAD_LEVEL}\nencoding ${arg_ENCODING}\n")
    set(inputs)
    set(stage COMMAND ${CMAKE_COMMAND} -E rm -rf ${arg_TREE})
    foreach(source IN LISTS arg_SOURCE)
        file(GLOB_RECURSE files CONFIGURE_DEPENDS ${source}/*)
        list(APPEND inputs ${files})
        list(APPEND stage COMMAND ${CMAKE_COMMAND} -E copy_directory ${source} ${arg_TREE})
    endforeach()
    list(GET arg_SOURCE 0 first_source)
    if(first_source STREQUAL "${PROJECT_SOURCE_DIR}/sample")
        get_filename_component(game_folder "${arg_TREE}/${arg_GAME_NAME}" DIRECTORY)
        list(APPEND stage
            COMMAND ${CMAKE_COMMAND} -E make_directory ${game_folder}
            COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:marbrel> ${arg_TREE}/${arg_GAME_NAME})
        list(APPEND inputs marbrel)
    endif()
    add_custom_command(OUTPUT ${arg_PAYLOAD}
        ${stage}
        COMMAND ${QUARN_EXECUTABLE} pack ${arg_TREE} ${arg_PAYLOAD} --encoding ${arg_ENCODING}
                --level ${INSTALLER_PAYLOAD_LEVEL}
                --install-dir "${arg_INSTALL_DIR}" --exe-name "${arg_EXE_NAME}" --product-name "${arg_PRODUCT}"
        DEPENDS ${inputs} ${QUARN_EXECUTABLE} ${stamp}
        COMMENT "Packing ${arg_SOURCE} into ${arg_PAYLOAD}"
        VERBATIM)
    add_custom_target(${target} DEPENDS ${arg_PAYLOAD})
    set_target_properties(${target} PROPERTIES PAYLOAD_FILE ${arg_PAYLOAD} PAYLOAD_TREE ${arg_TREE}
        NAME_ENCODING ${arg_ENCODING})
endfunction()

add_payload(payload)
get_target_property(PAYLOAD_FILE payload PAYLOAD_FILE)
get_target_property(PAYLOAD_TREE payload PAYLOAD_TREE)
add_installer(setup)

# Signing, when a way is given: the signed file takes setup.exe's place and
# the unsigned one stays beside it. The settings reach the signing script as
# a file of shell assignments, so that no value is split as a list; settings
# that cannot sign stop the build here, before anything is built.
set(signing "")
set(signing_given FALSE)
foreach(name PKCS12 PKCS11_MODULE KEY CERTS PASSWORD_FILE TIMESTAMP_URL COMMAND)
    if(NOT INSTALLER_SIGN_${name} STREQUAL "")
        set(signing_given TRUE)
    endif()
    string(TOLOWER "${name}" setting)
    quote_for_shell("${INSTALLER_SIGN_${name}}" quoted)
    string(APPEND signing "${setting}=${quoted}\n")
endforeach()
if(signing_given)
    set(signing_settings ${CMAKE_BINARY_DIR}/signing.env)
    file(WRITE ${signing_settings} "${signing}epoch=${INSTALLER_EPOCH}\n")
    set(sign_setup ${PROJECT_SOURCE_DIR}/scripts/sign-setup.sh)
    execute_process(COMMAND ${sign_setup} check ${signing_settings} RESULT_VARIABLE refused ERROR_VARIABLE refusal)
    if(refused)
        string(STRIP "${refusal}" refusal)
        message(FATAL_ERROR " ${refusal}")
    endif()
    add_custom_command(TARGET setup POST_BUILD
        COMMAND ${sign_setup} sign $<TARGET_FILE:setup> ${signing_settings}
        COMMENT "Signing setup.exe"
        VERBATIM)
endif()

# 32-bit Wine under emulation, for the tests and the demo on hosts that
# cannot start 32-bit programs; only the 32-bit tree has such programs.
set(EMULATION_TOOLS ${CMAKE_BINARY_DIR}/emulation)
if(WINDOWS_32BIT)
    include(${CMAKE_CURRENT_LIST_DIR}/emulation.cmake)
endif()

# The rest is tests and the programs that only tests run, each installer
# that a test needs defined beside it.
if(NOT BUILD_TESTING)
    return()
endif()

# ctest merges the properties of tests of the same name across the trees that
# one run covers, so each tree's tests carry its name.
if(WINDOWS_32BIT)
    set(TEST_TREE win32.)
else()
    set(TEST_TREE win64.)
endif()
# Tests under Wine. Each run gets a fresh copy of one template prefix,
# shared by the build trees.
set(WINE_TEMPLATE ${CMAKE_BINARY_DIR}/../wine-template)
add_subdirectory(${PROJECT_SOURCE_DIR}/tests/win32 ${CMAKE_BINARY_DIR}/tests/win32)
if(WINDOWS_32BIT)
    add_subdirectory(${PROJECT_SOURCE_DIR}/tests/release ${CMAKE_BINARY_DIR}/tests/release)
endif()
add_subdirectory(${PROJECT_SOURCE_DIR}/tests/e2e ${CMAKE_BINARY_DIR}/tests/e2e)
