# The model download against a loopback fake of the hub.
find_package(Qt6 6.4 REQUIRED COMPONENTS Network)

dravelin_test(test_download
    app/DownloadTestApplication.cpp
    app/DownloadTests.cpp
    app/HubFormatTests.cpp
    app/QtValuePrinting.h)
set_target_properties(test_download PROPERTIES AUTOMOC ON)
target_link_libraries(test_download PRIVATE dravelin_app_state dravelin_fake_hub Qt6::Network)
