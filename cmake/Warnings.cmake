# Common warning set for every target of the project.
function(usbcam_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wnon-virtual-dtor
                                             -Wno-missing-field-initializers)
    if(USBCAM_WERROR OR "$ENV{USBCAM_WERROR}")
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()
