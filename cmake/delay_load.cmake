# setup.exe's imports: kernel32 the usual way, every other DLL delay-loaded
# through shell/dll_search.cpp's helper, which loads from the system folder
# only. The lists name each function setup.exe calls in those DLLs. One
# left out fails the link (the C runtime's) or becomes an ordinary import,
# which the setup_imports_and_image_flags test rejects.
#
# NAME@BYTES is a 32-bit stdcall function with its argument bytes; A == B
# gives the C library's name A to the DLL's function B.
set(DELAY_LOADED_user32 DialogBoxParamW@20 EndDialog@8 GetDlgItem@8 SendMessageA@16)
set(DELAY_LOADED_comctl32 InitCommonControlsEx@4)
set(DELAY_LOADED_ole32 CoCreateInstance@20 CoInitialize@4 CoTaskMemFree@4 CoUninitialize@0)
set(DELAY_LOADED_shell32 IsUserAnAdmin@0 SHGetPathFromIDListW@8 SHGetSpecialFolderLocation@12)
set(DELAY_LOADED_bcrypt BCryptCloseAlgorithmProvider@8 BCryptCreateHash@28 BCryptDestroyHash@4 BCryptFinishHash@16
    BCryptGetProperty@24 BCryptHashData@16 BCryptOpenAlgorithmProvider@16)
set(DELAY_LOADED_msvcrt _beginthread _close _fdopen _open_osfhandle _wcsdup exit fclose ferror free fwrite isalpha
    isspace malloc memcpy strcmp strlen strncmp)

set(delay_dir ${CMAKE_BINARY_DIR}/delay-load)
set(DELAY_LOAD_LIBRARIES)
set(DELAY_LOAD_KEEP_STUBS)
foreach(dll user32 comctl32 ole32 shell32 bcrypt msvcrt)
    set(def "LIBRARY ${dll}.dll\nEXPORTS\n")
    foreach(function IN LISTS DELAY_LOADED_${dll})
        string(REGEX REPLACE " .*" "" symbol "${function}")
        if(NOT WINDOWS_32BIT)
            string(REGEX REPLACE "@[0-9]+" "" function "${function}")
            string(REGEX REPLACE "@[0-9]+" "" symbol "${symbol}")
        else()
            set(symbol _${symbol})
        endif()
        string(APPEND def "${function}\n")
        # ld drops a delay-import stub that no code names, although the
        # function's import slot points at it; naming each keeps them.
        list(APPEND DELAY_LOAD_KEEP_STUBS -Wl,-u,${symbol})
    endforeach()
    file(CONFIGURE OUTPUT ${delay_dir}/${dll}.def CONTENT "${def}")
    set(library ${delay_dir}/lib${dll}-delay.a)
    add_custom_command(OUTPUT ${library}
        COMMAND ${CMAKE_DLLTOOL} --kill-at --input-def ${delay_dir}/${dll}.def --dllname ${dll}.dll
            --output-delaylib ${library}
        DEPENDS ${delay_dir}/${dll}.def
        COMMENT "Making the delay-import library for ${dll}.dll")
    list(APPEND DELAY_LOAD_LIBRARIES ${library})
endforeach()
add_custom_target(delay_import_libraries DEPENDS ${DELAY_LOAD_LIBRARIES})

# Links TARGET, a setup.exe, with the delay-import libraries. They come after
# every library that calls into them, so that they and not the ordinary
# import libraries serve those calls; no default library is linked.
function(link_delay_loaded target)
    target_link_options(${target} PRIVATE -nodefaultlibs ${DELAY_LOAD_KEEP_STUBS})
    target_link_libraries(${target} PRIVATE core ZLIB::ZLIB stdc++ mingwex gcc ${DELAY_LOAD_LIBRARIES} kernel32)
    add_dependencies(${target} delay_import_libraries)
endfunction()
