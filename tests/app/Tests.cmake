find_package(Qt6 6.4 REQUIRED COMPONENTS Gui)

add_library(dravelin_qt_test_support STATIC app/QtTestApplication.cpp)
target_include_directories(dravelin_qt_test_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(dravelin_qt_test_support PUBLIC Qt6::Gui PRIVATE dravelin_warnings)

# A loopback stand-in for the model hub.
find_package(Qt6 6.4 REQUIRED COMPONENTS Network)
add_library(dravelin_fake_hub STATIC app/FakeHub.cpp app/FakeHub.h)
set_target_properties(dravelin_fake_hub PROPERTIES AUTOMOC ON)
target_include_directories(dravelin_fake_hub PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(dravelin_fake_hub PUBLIC Qt6::Network PRIVATE dravelin_warnings)
target_compile_options(dravelin_fake_hub PRIVATE -Wno-missing-field-initializers)

dravelin_test(test_app_state
    app/GenerationSettingsTests.cpp
    app/GeneratorTests.cpp
    app/ImageInputTests.cpp
    app/ImageFileLoadingTests.cpp
    app/ModelStoreDownloadTests.cpp
    app/ModelLibraryTests.cpp
    app/ModelStoreTests.cpp)
target_link_libraries(test_app_state PRIVATE dravelin_app_state dravelin_qt_test_support
                      dravelin_fake_hub dravelin_model_maker)

find_package(Qt6 6.4 REQUIRED COMPONENTS Widgets Test)
dravelin_test(test_window app/WindowTests.cpp)
target_link_libraries(test_window PRIVATE dravelin_app_ui Qt6::Test dravelin_qt_test_support
                      dravelin_model_maker)

# Offscreen screenshots of every screen: dravelin-screenshots [DIR].
add_executable(dravelin-screenshots app/ScreenshotTool.cpp)
target_link_libraries(dravelin-screenshots PRIVATE dravelin_app_ui dravelin_test_support
                      dravelin_fake_hub dravelin_warnings)
target_compile_options(dravelin-screenshots PRIVATE -Wno-missing-field-initializers)

# Times two generations driven through the real window (a benchmark, for
# full-size model directories): dravelin-drive-timing MODEL_DIR [STEPS | SETTINGS.json].
add_executable(dravelin-drive-timing app/DrivenTimingTool.cpp)
target_link_libraries(dravelin-drive-timing PRIVATE dravelin_app_ui Qt6::Test dravelin_warnings)

# A long session through the window with a real tiny model (slow).
add_executable(test_long_session app/LongSessionTests.cpp)
target_link_libraries(test_long_session PRIVATE dravelin_app_ui dravelin_model_maker
                      dravelin_test_support dravelin_qt_test_support Qt6::Test
                      GTest::gtest dravelin_test_main dravelin_warnings)
target_include_directories(test_long_session PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_options(test_long_session PRIVATE -Wno-missing-field-initializers)
add_test(NAME LongSession COMMAND test_long_session)
set_tests_properties(LongSession PROPERTIES LABELS slow ENVIRONMENT DRAVELIN_PRECISION=float32)
