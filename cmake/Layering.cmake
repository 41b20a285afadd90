# The house rules of the source tree, checked at every configure and every build:
#
# - Each module keeps the code that talks to its system in posix/ and win32/ folders of its own,
#   and no module includes another module's. Modules: os (the layer everyone may use), serial,
#   feeder, shell, and the window in shell/window.
# - The window includes nothing of the shell beyond its boundary, shell/WindowModule.h.
# - Neutral code (outside posix/ and win32/) names no system header and has no #if.
#
#   cmake -DCHECKFEED_SOURCE_DIR=... -P cmake/Layering.cmake

function(checkfeed_module path result)
  if(path MATCHES "^shell/window/")
    set(${result} shell/window PARENT_SCOPE)
  else()
    string(REGEX MATCH "^[^/]+" module "${path}")
    set(${result} ${module} PARENT_SCOPE)
  endif()
endfunction()

function(checkfeed_check_layering source_dir)
  file(GLOB_RECURSE sources RELATIVE ${source_dir} ${source_dir}/os/*.h ${source_dir}/os/*.cpp
       ${source_dir}/serial/*.h ${source_dir}/serial/*.cpp ${source_dir}/feeder/*.h
       ${source_dir}/feeder/*.cpp ${source_dir}/shell/*.h ${source_dir}/shell/*.cpp)
  set(problems "")
  foreach(source IN LISTS sources)
    checkfeed_module(${source} module)
    set(neutral TRUE)
    if(source MATCHES "/(posix|win32)/")
      set(neutral FALSE)
    endif()
    file(STRINGS ${source_dir}/${source} lines REGEX "^[ \t]*#[ \t]*(include|if)")
    foreach(line IN LISTS lines)
      if(line MATCHES "#[ \t]*include[ \t]+\"([^\"]+)\"")
        set(included ${CMAKE_MATCH_1})
        checkfeed_module(${included} owner)
        if(included MATCHES "/(posix|win32)/" AND NOT owner STREQUAL module)
          list(APPEND problems "${source} includes ${included}: another module's system code")
        endif()
        if(module STREQUAL "shell/window" AND owner STREQUAL "shell"
           AND NOT included STREQUAL "shell/WindowModule.h")
          list(APPEND problems "${source} includes ${included}: the window may include only "
                               "shell/WindowModule.h of the shell")
        endif()
        if(module STREQUAL "os" AND NOT owner STREQUAL "os")
          list(APPEND problems "${source} includes ${included}: os/ is the layer below the rest")
        endif()
      elseif(neutral AND line MATCHES "#[ \t]*include[ \t]+<(windows|unistd|termios|poll|fcntl|signal|pthread|dlfcn|sys/[a-z]+)\\.h>")
        list(APPEND problems "${source} includes <${CMAKE_MATCH_1}.h>: system code in neutral code")
      elseif(neutral AND line MATCHES "#[ \t]*if")
        list(APPEND problems "${source}: #if in neutral code; the build picks per-system files")
      endif()
    endforeach()
  endforeach()
  if(problems)
    list(JOIN problems "\n  " text)
    message(FATAL_ERROR "The layout's rules are broken:\n  ${text}")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  checkfeed_check_layering(${CHECKFEED_SOURCE_DIR})
endif()
