# The programs are built with the hardening flags Debian builds its own packages with
# (dpkg-buildflags with hardening=+all on Debian 12): stack protector, fortified libc
# calls, format-string checks and a read-only, eagerly bound GOT.
#
# zel7_harden(TARGET) sets them on TARGET and on every library of this project it links,
# however deep, so that the code of the libraries is hardened along with the programs.
# The sanitizer and fuzzing builds are left alone: the sanitizers intercept the same libc
# calls as the fortified versions, and report more precisely.

function(zel7_harden target)
    if(ZEL7_SANITIZE OR ZEL7_FUZZ)
        return()
    endif()
    get_target_property(aliased ${target} ALIASED_TARGET)
    if(aliased)
        set(target ${aliased})
    endif()
    get_target_property(imported ${target} IMPORTED)
    get_target_property(type ${target} TYPE)
    get_target_property(hardened ${target} ZEL7_HARDENED)
    if(imported OR hardened OR type STREQUAL "INTERFACE_LIBRARY")
        return()
    endif()
    set_property(TARGET ${target} PROPERTY ZEL7_HARDENED TRUE)

    target_compile_options(${target} PRIVATE
        -fstack-protector-strong -Wformat -Werror=format-security
        # Fortification needs the optimiser; without it glibc warns and does nothing.
        $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-D_FORTIFY_SOURCE=2>)
    if(type MATCHES "^(EXECUTABLE|SHARED_LIBRARY|MODULE_LIBRARY)$")
        target_link_options(${target} PRIVATE LINKER:-z,relro LINKER:-z,now)
    endif()

    get_target_property(libraries ${target} LINK_LIBRARIES)
    foreach(library IN LISTS libraries)
        if(TARGET ${library})
            zel7_harden(${library})
        endif()
    endforeach()
endfunction()
