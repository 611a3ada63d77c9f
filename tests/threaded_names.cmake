# Fails when a test that starts threads (std::thread, std::async,
# pthread_create) has neither "Thread" nor "Concurrent" in its suite or test
# name: the ThreadSanitizer run selects tests by those words.
file(GLOB_RECURSE files ${SOURCES}/*.cpp)
set(bad "")
foreach(f ${files})
  file(READ ${f} rest)
  # Walk the pieces of the file that start at each TEST line.
  string(FIND "${rest}" "\nTEST" at)
  while(NOT at EQUAL -1)
    math(EXPR at "${at} + 1")
    string(SUBSTRING "${rest}" ${at} -1 rest)
    string(FIND "${rest}" "\nTEST" next)
    string(SUBSTRING "${rest}" 0 ${next} piece)
    if(piece MATCHES "^TEST(_F|_P)?\\(([A-Za-z0-9_]+), *([A-Za-z0-9_]+)\\)")
      set(name "${CMAKE_MATCH_2}.${CMAKE_MATCH_3}")
      if(piece MATCHES "std::thread|std::jthread|std::async|pthread_create"
         AND NOT name MATCHES "Thread|Concurrent")
        string(APPEND bad "  ${name}\n")
      endif()
    endif()
    set(at ${next})
  endwhile()
endforeach()
if(bad)
  message(FATAL_ERROR "Tests that start threads need \"Thread\" or \"Concurrent\" in their names:\n${bad}")
endif()
message(STATUS "threaded test names checked")
