# kexio.Worksheet (worksheet.cpp) in the module.
target_sources(kexio_python PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/worksheet.cpp)
