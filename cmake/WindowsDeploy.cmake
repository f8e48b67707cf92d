# Deployment of a Qt program on Windows without windeployqt (which does not run on a Linux
# build machine): at install time the program's and its plugins' imports are read from the PE
# files with mingw's objdump and every DLL found in the given folders is copied beside the
# program, recursively, and stripped. DLLs found nowhere there are the system's (kernel32,
# user32, ...); they are listed, not copied.

# The folders of mingw's runtime DLLs (libstdc++, libgcc_s, libwinpthread) for this compiler.
function(quillon_windows_runtime_dirs out)
  set(dirs "")
  foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
      # libwinpthread sits in the target's own lib folder, which the driver does not search.
      set(path ${CMAKE_FIND_ROOT_PATH})
      list(GET path 0 root)
      set(path ${root}/lib/${dll})
    endif()
    if(NOT EXISTS "${path}")
      message(FATAL_ERROR "mingw runtime ${dll} not found")
    endif()
    get_filename_component(dir "${path}" DIRECTORY)
    list(APPEND dirs "${dir}")
  endforeach()
  list(REMOVE_DUPLICATES dirs)
  set(${out} "${dirs}" PARENT_SCOPE)
endfunction()

# quillon_install_windows_runtime(TARGET PLUGINS <subdir> <plugin target> ... DIRECTORIES <dir>...)
# installs each plugin into <subdir>/ and the DLLs that TARGET and the plugins need into the
# install folder.
function(quillon_install_windows_runtime target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "PLUGINS;DIRECTORIES")
  find_program(QUILLON_MINGW_OBJDUMP NAMES x86_64-w64-mingw32-objdump REQUIRED)
  find_program(QUILLON_MINGW_STRIP NAMES x86_64-w64-mingw32-strip REQUIRED)
  set(plugin_files "")
  set(plugin_dirs "")
  list(LENGTH arg_PLUGINS n)
  math(EXPR last "${n} - 1")
  foreach(i RANGE 0 ${last} 2)
    math(EXPR j "${i} + 1")
    list(GET arg_PLUGINS ${i} subdir)
    list(GET arg_PLUGINS ${j} plugin)
    list(APPEND plugin_files "$<TARGET_FILE:${plugin}>")
    list(APPEND plugin_dirs "${subdir}")
  endforeach()
  set(script ${CMAKE_CURRENT_BINARY_DIR}/deploy-${target}.cmake)
  file(GENERATE OUTPUT ${script} CONTENT "
set(CMAKE_GET_RUNTIME_DEPENDENCIES_PLATFORM windows+pe)
set(CMAKE_GET_RUNTIME_DEPENDENCIES_TOOL objdump)
set(CMAKE_GET_RUNTIME_DEPENDENCIES_COMMAND \"${QUILLON_MINGW_OBJDUMP}\")
set(program \"$<TARGET_FILE:${target}>\")
set(plugins \"${plugin_files}\")
set(plugin_dirs \"${plugin_dirs}\")
set(dest \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
# CMake looks the PE imports up by their lower-case names (Windows does not tell case apart),
# which a Linux file system does: the search goes through lower-case links to the real files.
set(names \"${CMAKE_CURRENT_BINARY_DIR}/deploy-${target}-dlls\")
file(REMOVE_RECURSE \"\${names}\")
file(MAKE_DIRECTORY \"\${names}\")
foreach(dir ${arg_DIRECTORIES})
  file(GLOB dlls \"\${dir}/*.dll\" \"\${dir}/*.DLL\")
  foreach(dll IN LISTS dlls)
    get_filename_component(name \"\${dll}\" NAME)
    string(TOLOWER \"\${name}\" name)
    if(NOT EXISTS \"\${names}/\${name}\")
      file(CREATE_LINK \"\${dll}\" \"\${names}/\${name}\" SYMBOLIC)
    endif()
  endforeach()
endforeach()
file(GET_RUNTIME_DEPENDENCIES
  EXECUTABLES \"\${program}\"
  MODULES \${plugins}
  DIRECTORIES \"\${names}\"
  PRE_EXCLUDE_REGEXES \"^[Aa][Pp][Ii]-[Mm][Ss]-\" \"^[Ee][Xx][Tt]-[Mm][Ss]-\"
  RESOLVED_DEPENDENCIES_VAR resolved
  UNRESOLVED_DEPENDENCIES_VAR system)
list(SORT system)
string(REPLACE \";\" \" \" system_text \"\${system}\")
message(STATUS \"${target}: system DLLs (not copied): \${system_text}\")
set(copied \"\")
foreach(link IN LISTS resolved)
  file(REAL_PATH \"\${link}\" dll)
  file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}\" TYPE SHARED_LIBRARY FILES \"\${dll}\")
  get_filename_component(name \"\${dll}\" NAME)
  list(APPEND copied \"\${dest}/\${name}\")
endforeach()
foreach(plugin subdir IN ZIP_LISTS plugins plugin_dirs)
  file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/\${subdir}\" TYPE SHARED_LIBRARY FILES \"\${plugin}\")
  get_filename_component(name \"\${plugin}\" NAME)
  list(APPEND copied \"\${dest}/\${subdir}/\${name}\")
endforeach()
# mingw's runtime DLLs come with their symbols (libstdc++-6.dll alone is over 20 MB).
execute_process(COMMAND \"${QUILLON_MINGW_STRIP}\" --strip-unneeded \${copied} COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND \"${QUILLON_MINGW_STRIP}\" --strip-unneeded \"\${dest}/$<TARGET_FILE_NAME:${target}>\" COMMAND_ERROR_IS_FATAL ANY)
")
  install(SCRIPT ${script})
endfunction()
