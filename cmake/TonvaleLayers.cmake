# The product's layers, each folder a static library: tool -> service -> interface -> registry ->
# utils, with libbinder below them all. A layer links only the layers below it and sees only
# their headers: headers are included as "<folder>/<name>.h", and a layer's include directory
# holds one link, to its own folder, so "utils/Utils.h" resolves everywhere above utils while
# "service/Tonvale.h" does not resolve below the service. An upward include fails to compile.

# The code of libtonvalecore exports nothing its declaration does not mark (ANDROID_API from
# <cutils/compiler.h>); inline functions stay inside too.
set(TONVALE_LIBRARY_FLAGS -fvisibility=hidden -fvisibility-inlines-hidden)

# The include directory that holds only <folder>: ${CMAKE_BINARY_DIR}/layers/<folder>.
function(tonvale_layer_include_dir folder out)
    set(dir ${CMAKE_BINARY_DIR}/layers/${folder})
    if(NOT IS_SYMLINK ${dir}/${folder})
        file(MAKE_DIRECTORY ${dir})
        file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${folder} ${dir}/${folder} SYMBOLIC)
    endif()
    set(${out} ${dir} PARENT_SCOPE)
endfunction()

# tonvale_add_layer(<folder> SOURCES ... LINKS <the layers below, or libraries>):
# the static library tonvale_<folder>.
function(tonvale_add_layer folder)
    cmake_parse_arguments(L "" "" "SOURCES;LINKS" ${ARGN})
    tonvale_layer_include_dir(${folder} dir)
    add_library(tonvale_${folder} STATIC ${L_SOURCES})
    target_include_directories(tonvale_${folder} PUBLIC ${dir})
    target_link_libraries(tonvale_${folder} PUBLIC ${L_LINKS})
    target_compile_options(tonvale_${folder} PRIVATE ${TONVALE_LIBRARY_FLAGS})
endfunction()
