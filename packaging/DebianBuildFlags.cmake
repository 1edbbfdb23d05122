# debian_build_flags(KIND VAR): the flags of kind KIND (CPPFLAGS, CXXFLAGS,
# LDFLAGS) that dpkg-buildflags gives a package built with
# DEB_BUILD_MAINT_OPTIONS=hardening=+all, as a list in VAR, less -g and -O*:
# those belong to the build type. Asked from the source folder, so the
# reproducible-build prefix map names the source as a package build would.
# The compiler flags get -fstack-clash-protection where Debian's do not give
# it (Debian 12's): a daemon of root's must not let a deep recursion or a
# large frame jump its stack's guard page.
function(debian_build_flags kind var)
    find_program(DPKG_BUILDFLAGS dpkg-buildflags)
    if(NOT DPKG_BUILDFLAGS)
        message(FATAL_ERROR "The hardened build asks dpkg-buildflags (package dpkg-dev) for its flags: "
                            "install it, or configure with -DWATCHDOG_HARDEN=OFF")
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                            ${DPKG_BUILDFLAGS} --get ${kind}
                    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "dpkg-buildflags --get ${kind} failed: ${result}")
    endif()
    separate_arguments(flags UNIX_COMMAND "${flags}")
    list(FILTER flags EXCLUDE REGEX "^-(g|O.*)$")
    if(kind MATCHES "^C(XX)?FLAGS$" AND NOT "-fstack-clash-protection" IN_LIST flags)
        include(CheckCXXCompilerFlag)
        check_cxx_compiler_flag(-fstack-clash-protection WATCHDOG_HAS_STACK_CLASH_PROTECTION)
        if(WATCHDOG_HAS_STACK_CLASH_PROTECTION)
            list(APPEND flags -fstack-clash-protection)
        endif()
    endif()
    set(${var} ${flags} PARENT_SCOPE)
endfunction()
