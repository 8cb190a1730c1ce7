# Installs the build tree into a fresh directory and checks that the programs, the help, the
# icon and the desktop entry land where a desktop finds them, and that the desktop entry names
# the installed program and icon.
# Usage: cmake -DBUILD_DIR=<build> -DPREFIX=<empty dir> -P CheckInstall.cmake
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()
foreach(f bin/siclquill bin/siclquill-gateway bin/siclquill-cli
          share/bash-completion/completions/siclquill-cli
          share/doc/siclquill/changelog.gz share/doc/siclquill/copyright
          share/doc/siclquill/help/index.html share/doc/siclquill/help/controls.html
          share/doc/siclquill/help/help.css
          share/icons/hicolor/128x128/apps/siclquill.png
          share/applications/siclquill.desktop
          share/man/man1/siclquill.1.gz share/man/man1/siclquill-gateway.1.gz
          share/man/man1/siclquill-cli.1.gz)
    if(NOT EXISTS "${PREFIX}/${f}")
        message(FATAL_ERROR "not installed: ${f}")
    endif()
endforeach()
foreach(f bin/siclquill bin/siclquill-gateway bin/siclquill-cli)
    if(IS_DIRECTORY "${PREFIX}/${f}")
        message(FATAL_ERROR "${f} is a directory")
    endif()
endforeach()
file(STRINGS "${PREFIX}/share/applications/siclquill.desktop" entry)
foreach(line "Exec=siclquill" "Icon=siclquill" "Type=Application")
    list(FIND entry "${line}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "the desktop entry lacks ${line}")
    endif()
endforeach()
# Every help page the pages link to is installed beside them.
file(GLOB pages "${PREFIX}/share/doc/siclquill/help/*.html")
foreach(page ${pages})
    file(STRINGS "${page}" links REGEX "href=\"[a-z]+\\.(html|css)")
    foreach(link ${links})
        string(REGEX MATCHALL "href=\"[a-z]+\\.(html|css)" targets "${link}")
        foreach(t ${targets})
            string(REPLACE "href=\"" "" t "${t}")
            if(NOT EXISTS "${PREFIX}/share/doc/siclquill/help/${t}")
                message(FATAL_ERROR "${page} links to ${t}, which is not installed")
            endif()
        endforeach()
    endforeach()
endforeach()
file(REMOVE_RECURSE "${PREFIX}")
