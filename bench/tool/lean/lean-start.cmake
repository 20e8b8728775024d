# Link settings that start.sh --lean tries on a second build (CMAKE_PROJECT_INCLUDE), so their
# worth is measured before anyone changes the build files: an export list for each project
# library and --as-needed. Applied once the top directory has defined every target.
set(_tonvale_lean_dir ${CMAKE_CURRENT_LIST_DIR})
function(_tonvale_lean_start)
    set_property(TARGET tonvalecore APPEND PROPERTY LINK_OPTIONS
                 -Wl,--version-script=${_tonvale_lean_dir}/tonvalecore.map)
    set_property(TARGET tonvalecore APPEND PROPERTY LINK_DEPENDS ${_tonvale_lean_dir}/tonvalecore.map)
    set_property(TARGET binder APPEND PROPERTY LINK_OPTIONS
                 -Wl,--version-script=${_tonvale_lean_dir}/binder.map)
    set_property(TARGET binder APPEND PROPERTY LINK_DEPENDS ${_tonvale_lean_dir}/binder.map)
    foreach(target tonvalecore binder tonvale)
        set_property(TARGET ${target} APPEND PROPERTY LINK_OPTIONS -Wl,--as-needed)
    endforeach()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL _tonvale_lean_start)
