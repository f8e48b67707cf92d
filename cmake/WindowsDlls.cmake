# The DLLs that the Windows programs of this build load from the prefix of
# scripts/bootstrap-windows.sh: today libpq.dll (PostgreSQL's client, with OpenSSL inside; SQLite
# is linked in statically). Windows finds a DLL first beside the program, so each one is copied
# beside every program of the build tree (the tests start quillon-cli.exe from its own folder, and
# Wine runs them all) and into the packages beside quillon-cli.exe and quillon.exe, with the
# licences of what they hold.

set(QUILLON_WINDOWS_DLLS "")
foreach(dll libpq.dll)
  if(NOT EXISTS ${QUILLON_WINDOWS_PREFIX}/bin/${dll})
    message(FATAL_ERROR "${dll} is not in ${QUILLON_WINDOWS_PREFIX}/bin: run scripts/bootstrap-windows.sh")
  endif()
  list(APPEND QUILLON_WINDOWS_DLLS ${QUILLON_WINDOWS_PREFIX}/bin/${dll})
endforeach()

install(FILES ${QUILLON_WINDOWS_DLLS} DESTINATION .)
install(DIRECTORY ${QUILLON_WINDOWS_PREFIX}/share/licenses/ DESTINATION licenses)

# Every executable target defined in DIR and below it.
function(quillon_executables_below dir out)
  set(found "")
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
      list(APPEND found ${target})
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    quillon_executables_below(${subdir} more)
    list(APPEND found ${more})
  endforeach()
  set(${out} ${found} PARENT_SCOPE)
endfunction()

# Called once every program is defined: one copy of each DLL per folder that holds programs,
# kept up to date with the prefix, made before any program of that folder is built.
function(quillon_windows_dlls_beside_programs)
  quillon_executables_below(${PROJECT_SOURCE_DIR} programs)
  set(copies "")
  set(dirs "")
  foreach(program IN LISTS programs)
    get_target_property(dir ${program} RUNTIME_OUTPUT_DIRECTORY)
    if(NOT dir)
      get_target_property(dir ${program} BINARY_DIR)
    endif()
    if(NOT dir IN_LIST dirs)
      list(APPEND dirs ${dir})
      foreach(dll IN LISTS QUILLON_WINDOWS_DLLS)
        get_filename_component(name ${dll} NAME)
        add_custom_command(OUTPUT ${dir}/${name}
          COMMAND ${CMAKE_COMMAND} -E copy_if_different ${dll} ${dir}/${name}
          DEPENDS ${dll} VERBATIM)
        list(APPEND copies ${dir}/${name})
      endforeach()
    endif()
  endforeach()
  add_custom_target(quillon_windows_dlls ALL DEPENDS ${copies})
  foreach(program IN LISTS programs)
    add_dependencies(${program} quillon_windows_dlls)
  endforeach()
endfunction()
