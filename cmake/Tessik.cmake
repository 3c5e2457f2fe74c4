# Helpers shared by every folder.

# tessik_add_test(<name> SOURCES <files...> LIBS <targets...> [INCLUDES <dirs...>]
#                  [DEFINITIONS <defs...>] [DEPENDS <targets...>] [LABELS <labels...>] [TIMEOUT <s>])
# Builds one GoogleTest program and registers each of its tests with CTest. Nothing is built when
# the tests are off, so callers set everything about the program here rather than on the target.
function(tessik_add_test name)
  if(NOT TESSIK_TESTS)
    return()
  endif()
  # SERIAL: a gtest filter of tests that run alone (they measure the simulated devices in real time
  # and miss their frames when the machine is full).
  cmake_parse_arguments(T "" "TIMEOUT;SERIAL" "SOURCES;LIBS;INCLUDES;DEFINITIONS;DEPENDS;LABELS;PROPERTIES" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES})
  if(TESSIK_SANITIZE OR TESSIK_TSAN)
    # Test bodies call into the optimised libraries and spend no measurable time of their own: built
    # unoptimised they run as fast and take less than half the compile time (the tests' objects
    # are most of the sanitizer build).
    target_compile_options(${name} PRIVATE -O0)
  endif()
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  if(T_INCLUDES)
    target_include_directories(${name} PRIVATE ${T_INCLUDES})
  endif()
  if(T_DEFINITIONS)
    target_compile_definitions(${name} PRIVATE ${T_DEFINITIONS})
  endif()
  if(T_DEPENDS)
    add_dependencies(${name} ${T_DEPENDS})
  endif()
  # An empty LABELS value would take the next word as the label.
  set(props TIMEOUT ${T_TIMEOUT} ${T_PROPERTIES})
  if(T_LABELS)
    list(APPEND props LABELS "${T_LABELS}")
  endif()
  if(T_SERIAL)
    gtest_discover_tests(${name}
      DISCOVERY_TIMEOUT 120 TEST_FILTER "-${T_SERIAL}" PROPERTIES ${props})
    gtest_discover_tests(${name}
      DISCOVERY_TIMEOUT 120 TEST_FILTER "${T_SERIAL}" PROPERTIES ${props} RUN_SERIAL TRUE)
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120 PROPERTIES ${props})
  endif()
endfunction()

# tessik_stage_app_data(<target> <source dir>)
# Copies an App_Data folder beside the target's binary after each build.
function(tessik_stage_app_data target src)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_directory ${src} $<TARGET_FILE_DIR:${target}>/App_Data
    VERBATIM)
endfunction()
