# Allocation-failure sweep: the plug-in's objects linked with malloc,
# calloc and realloc wrapped, so that the test can fail any one of them.
# A separate program, because the wrapping holds for everything it links.
add_executable(korvel_alloc_tests
  ${CMAKE_CURRENT_LIST_DIR}/alloc_sweep.cc
  ${CMAKE_CURRENT_LIST_DIR}/replay_harness.cc
  ${CMAKE_CURRENT_LIST_DIR}/test_files.cc
  $<TARGET_OBJECTS:korvel_objs>)
target_link_libraries(korvel_alloc_tests PRIVATE korvel_objs korvel-host
  pugixml::pugixml GTest::gtest_main)
target_include_directories(korvel_alloc_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_compile_definitions(korvel_alloc_tests PRIVATE
  KORVEL_SAMPLE_RECORDING="${CMAKE_SOURCE_DIR}/examples/sample.jsonl"
  KORVEL_REPLAY_PATH="$<TARGET_FILE:korvel-replay>"
  KORVEL_PLUGIN_PATH="$<TARGET_FILE:Korvel>")
target_link_options(korvel_alloc_tests PRIVATE
  -Wl,--wrap=malloc,--wrap=calloc,--wrap=realloc)
gtest_discover_tests(korvel_alloc_tests DISCOVERY_MODE PRE_TEST
  PROPERTIES ENVIRONMENT "TZ=UTC")
