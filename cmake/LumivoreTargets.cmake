# Every core folder is a static library of the .cpp files it holds; headers are included
# from the source root ("formats/ByteOrder.h").
function(lumivore_folder_library folder)
  file(GLOB sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${folder}/*.cpp)
  if(NOT sources)
    set(sources ${PROJECT_SOURCE_DIR}/cmake/empty.cpp)
  endif()
  add_library(lumivore_${folder} STATIC ${sources})
  target_include_directories(lumivore_${folder} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

# tests/<folder>/*.cpp become one GoogleTest program, test_<folder>, linked to the given libraries.
function(lumivore_folder_tests folder)
  file(GLOB sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/${folder}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(test_${folder} ${sources})
  target_link_libraries(test_${folder} PRIVATE ${ARGN} GTest::gtest GTest::gmock GTest::gtest_main)
  target_include_directories(test_${folder} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  target_compile_definitions(test_${folder} PRIVATE
    LUMIVORE_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    LUMIVORE_BINARY_DIR="${PROJECT_BINARY_DIR}")
  add_dependencies(test_${folder} lumivore_data)
  gtest_discover_tests(test_${folder} DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "LUMIVORE_CONFIG=${PROJECT_BINARY_DIR}/test-settings.xml")
endfunction()
