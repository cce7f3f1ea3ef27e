# Shared helpers for our targets: warnings, Qt defines, one static library per source folder,
# one QtTest executable per tst_*.cpp.

function(orvix_target_defaults target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
    if(WARNINGS_AS_ERRORS)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
    target_compile_definitions(${target} PRIVATE
        QT_NO_KEYWORDS
        QT_DEPRECATED_WARNINGS
        QT_MESSAGELOGCONTEXT)
endfunction()

# orvix_add_library(<name> [DIRS <dir>...] [PUBLIC_LIBS ...] [PRIVATE_LIBS ...])
# Builds every .cpp/.h of the current folder (and of DIRS below it) into one static library.
function(orvix_add_library name)
    cmake_parse_arguments(ARG "" "" "DIRS;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
    set(patterns ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
    foreach(dir ${ARG_DIRS})
        list(APPEND patterns ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.h)
    endforeach()
    file(GLOB sources CONFIGURE_DEPENDS ${patterns})
    if(NOT sources)
        # A folder that has no code yet still exists for its dependents.
        add_library(${name} INTERFACE)
        target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
        target_link_libraries(${name} INTERFACE ${ARG_PUBLIC_LIBS})
        return()
    endif()
    add_library(${name} STATIC ${sources})
    # Headers are included by their path below src/, e.g. "pbx/asterisk/connector.h".
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_LIBS} PRIVATE ${ARG_PRIVATE_LIBS})
    orvix_target_defaults(${name})
    set_property(GLOBAL APPEND PROPERTY ORVIX_LIBRARIES ${name})
endfunction()

# orvix_add_tests(LIBS <lib>... [FIXTURES <fixture>...])
# One test executable per tst_*.cpp of the current folder, registered in CTest under its file name.
function(orvix_add_tests)
    cmake_parse_arguments(ARG "" "" "LIBS;FIXTURES" ${ARGN})
    file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tst_*.cpp)
    foreach(src ${tests})
        get_filename_component(name ${src} NAME_WE)
        add_executable(${name} ${src})
        target_link_libraries(${name} PRIVATE ${ARG_LIBS} Qt5::Test)
        orvix_target_defaults(${name})
        add_test(NAME ${name} COMMAND ${name})
        set_tests_properties(${name} PROPERTIES TIMEOUT 300)
        if(ARG_FIXTURES)
            set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED "${ARG_FIXTURES}")
        endif()
    endforeach()
endfunction()
