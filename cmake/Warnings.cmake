# Common warning set for every target of the project.
function(usbcam_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wnon-virtual-dtor
                                             -Wno-missing-field-initializers)
    # The driver's objects free themselves through their one virtual operation (a destroy
    # routine in the first slot), calling their own non-virtual destructor on the exact type;
    # Clang warns about that call, GCC does not.
    target_compile_options(${target} PRIVATE
                           $<$<CXX_COMPILER_ID:Clang>:-Wno-delete-non-abstract-non-virtual-dtor>)
    # GUIDs are initialised as the platform publishes them, {STATIC_KSCATEGORY_VIDEO}: the
    # macro spells the eleven parts flat and relies on brace elision, which Clang flags.
    target_compile_options(${target} PRIVATE $<$<CXX_COMPILER_ID:Clang>:-Wno-missing-braces>)
    if(USBCAM_WERROR OR "$ENV{USBCAM_WERROR}")
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()
