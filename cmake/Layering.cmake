# The house rules of the source tree, checked at every configure and every build:
#
# - The modules stand in layers, os < serial < feeder < shell < shell/window, and nothing
#   includes a layer above its own. The window includes nothing of the shell but its boundary,
#   shell/WindowModule.h.
# - Neutral code (outside posix/ and win32/) includes only the C++ standard library and the
#   project's neutral headers, and has no #if: the build picks per-system files.
# - A module's posix/ and win32/ code may include its own module's, and os/posix/ or os/win32/;
#   nothing else of another module's system code. bench/ is held to the same rule.
#
#   cmake -DCHECKFEED_SOURCE_DIR=... -P cmake/Layering.cmake
if(CMAKE_SCRIPT_MODE_FILE)
  cmake_minimum_required(VERSION 3.25)
endif()

# The C++ standard library's headers (and the two C headers the window's C boundary uses).
set(CHECKFEED_STANDARD_HEADERS
    algorithm any array atomic bit bitset cassert cctype cerrno cfloat charconv chrono cinttypes
    climits clocale cmath compare concepts condition_variable cstddef cstdint cstdio cstdlib
    cstring ctime cwchar deque exception filesystem format fstream functional future
    initializer_list iomanip ios iosfwd iostream istream iterator limits list locale map memory
    mutex new numbers numeric optional ostream queue random ranges ratio regex set shared_mutex
    source_location span sstream stack stdexcept stop_token streambuf string string_view
    system_error thread tuple type_traits typeinfo unordered_map unordered_set utility variant
    vector version stddef.h stdint.h)

# The module a path belongs to, and its layer (bench/ stands above them all).
function(checkfeed_module path module_var layer_var)
  if(path MATCHES "^shell/window/")
    set(module shell/window)
  else()
    string(REGEX MATCH "^[^/]+" module "${path}")
  endif()
  list(FIND CHECKFEED_LAYERS ${module} layer)
  set(${module_var} ${module} PARENT_SCOPE)
  set(${layer_var} ${layer} PARENT_SCOPE)
endfunction()
set(CHECKFEED_LAYERS os serial feeder shell shell/window bench)

function(checkfeed_check_layering source_dir)
  set(sources)
  foreach(folder os serial feeder shell bench)
    file(GLOB_RECURSE found RELATIVE ${source_dir} ${source_dir}/${folder}/*.h
         ${source_dir}/${folder}/*.cpp)
    list(APPEND sources ${found})
  endforeach()
  set(problems "")
  foreach(source IN LISTS sources)
    checkfeed_module(${source} module layer)
    set(neutral TRUE)
    if(source MATCHES "/(posix|win32)/" OR module STREQUAL "bench")
      set(neutral FALSE)
    endif()
    file(STRINGS ${source_dir}/${source} lines REGEX "^[ \t]*#[ \t]*(include|if)")
    foreach(line IN LISTS lines)
      if(line MATCHES "#[ \t]*include[ \t]+\"([^\"]+)\"")
        set(included ${CMAKE_MATCH_1})
        checkfeed_module(${included} owner owner_layer)
        if(owner_layer GREATER layer)
          list(APPEND problems "${source} includes ${included}: ${owner} is a layer above ${module}")
        elseif(module STREQUAL "shell/window" AND owner STREQUAL "shell"
               AND NOT included STREQUAL "shell/WindowModule.h")
          list(APPEND problems
               "${source} includes ${included}: the window may include only shell/WindowModule.h")
        elseif(included MATCHES "/(posix|win32)/")
          if(neutral)
            list(APPEND problems "${source} includes ${included}: system code in neutral code")
          elseif(NOT owner STREQUAL module AND NOT owner STREQUAL "os")
            list(APPEND problems "${source} includes ${included}: another module's system code")
          endif()
        endif()
      elseif(neutral AND line MATCHES "#[ \t]*include[ \t]*<([^>]+)>")
        if(NOT CMAKE_MATCH_1 IN_LIST CHECKFEED_STANDARD_HEADERS)
          list(APPEND problems "${source} includes <${CMAKE_MATCH_1}>: not the C++ standard library")
        endif()
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
