# wy_library(<name> [DEPS <targets>...] [SUBDIRS <dirs>...] [INSTALLS <symbol>]
#            [EXCLUDE <files>...])
#
# One static library per module: every *.cpp in the module folder (and in the
# listed subfolders) except *_test.cpp and *_fuzz.cpp. The *_test.cpp files
# beside it form <name>_test, run by ctest; *_fuzz.cpp files become libFuzzer
# targets when WY_FUZZ is on.
#
# INSTALLS names the symbol of a unit that installs the library into a lower
# layer from a static object and that nothing calls: every program linking
# the library asks the linker for that unit, or a static library would leave
# it out. EXCLUDE names files of the folder that are not part of the
# library (a program's main).
# wy_test_options(<target>)
#
# Test programs are compiled without optimisation in every build: their own
# code is assertions and set-up, the code under test comes optimised from
# its libraries, and an optimised build of GoogleTest's assertions takes
# twice as long.
function(wy_test_options target)
  target_compile_options(${target} PRIVATE -O0)
endfunction()

function(wy_library name)
  cmake_parse_arguments(W "" "INSTALLS" "DEPS;SUBDIRS;TEST_DEPS;EXCLUDE" ${ARGN})
  set(dirs ${CMAKE_CURRENT_SOURCE_DIR})
  foreach(d IN LISTS W_SUBDIRS)
    list(APPEND dirs ${CMAKE_CURRENT_SOURCE_DIR}/${d})
  endforeach()
  set(srcs)
  set(tests)
  set(fuzzers)
  foreach(d IN LISTS dirs)
    file(GLOB s CONFIGURE_DEPENDS ${d}/*.cpp)
    list(APPEND srcs ${s})
  endforeach()
  foreach(f IN LISTS srcs)
    if(f MATCHES "_test\\.cpp$")
      list(APPEND tests ${f})
    elseif(f MATCHES "_fuzz\\.cpp$")
      list(APPEND fuzzers ${f})
    endif()
  endforeach()
  foreach(x IN LISTS W_EXCLUDE)
    list(REMOVE_ITEM srcs ${CMAKE_CURRENT_SOURCE_DIR}/${x})
  endforeach()
  list(REMOVE_ITEM srcs ${tests} ${fuzzers} "")
  if(NOT srcs)
    # A module whose code has not landed yet still gets a target.
    set(srcs ${PROJECT_SOURCE_DIR}/cmake/empty.cpp)
  endif()
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${W_DEPS} Threads::Threads)
  if(W_INSTALLS)
    target_link_options(${name} INTERFACE "LINKER:--undefined=${W_INSTALLS}")
  endif()
  set_property(GLOBAL APPEND PROPERTY WY_LIBRARIES ${name})
  if(WY_TESTS AND tests AND NOT WY_FUZZ)
    add_executable(${name}_test ${tests})
    target_link_libraries(${name}_test PRIVATE ${name} ${W_TEST_DEPS} GTest::gtest GTest::gtest_main)
    target_compile_definitions(${name}_test PRIVATE WY_BUILD_DIR="${PROJECT_BINARY_DIR}")
    wy_test_options(${name}_test)
    gtest_discover_tests(${name}_test DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                         PROPERTIES TIMEOUT 300)
  endif()
  if(WY_FUZZ)
    foreach(f IN LISTS fuzzers)
      get_filename_component(fn ${f} NAME_WE)
      add_executable(${fn} ${f})
      target_link_libraries(${fn} PRIVATE ${name} -fsanitize=fuzzer)
      set_property(GLOBAL APPEND PROPERTY WY_FUZZERS ${fn})
    endforeach()
  endif()
endfunction()

# wy_check_layers()
#
# The libraries are layers in the order the top-level CMakeLists adds them: a
# library, and its tests, may link only libraries added before it (a test its
# own library too). That keeps the graph free of cycles and lets every layer
# be built and tested without the layers above it. Called once every module
# is added; a breach stops the configure step.
function(wy_check_layers)
  get_property(libs GLOBAL PROPERTY WY_LIBRARIES)
  set(below)
  foreach(lib IN LISTS libs)
    foreach(t IN ITEMS ${lib} ${lib}_test)
      if(NOT TARGET ${t})
        continue()
      endif()
      get_target_property(deps ${t} LINK_LIBRARIES)
      foreach(d IN LISTS deps)
        if(d IN_LIST libs AND NOT d IN_LIST below AND NOT (t STREQUAL "${lib}_test" AND d STREQUAL lib))
          message(FATAL_ERROR "${t} links ${d}, which is not a layer below ${lib}: "
                              "a library may use only the libraries added before it")
        endif()
      endforeach()
    endforeach()
    list(APPEND below ${lib})
  endforeach()
endfunction()
