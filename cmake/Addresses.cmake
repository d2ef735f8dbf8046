# Every address the program uses; a distributor sets the real ones at configure time.
set(MORVANE_HOME_URL "http://www.morvane.example/" CACHE STRING "Home page shown on the about page")
set(MORVANE_SCREENSHOT_URL "https://www.morvane.example/screenshot.png" CACHE STRING "Screenshot the AppStream metainfo shows (packaging/screenshot.png)")
set(MORVANE_NOTICE_URL "http://www.morvane.example/v.txt" CACHE STRING "Notice file fetched at every start")
set(MORVANE_DOWNLOAD_URL "http://www.morvane.example/index.html" CACHE STRING "Download page the new-version notice opens")
set(MORVANE_SPONSOR_CAPTION "欢迎访问 sponsor.example" CACHE STRING "Sponsor caption when the notice names none")
set(MORVANE_SPONSOR_URL "http://www.sponsor.example/" CACHE STRING "Sponsor link when the notice names none")

configure_file(${CMAKE_CURRENT_LIST_DIR}/morvane_config.h.in
               ${CMAKE_BINARY_DIR}/generated/morvane_config.h @ONLY)
add_library(morvane_config INTERFACE)
target_include_directories(morvane_config INTERFACE ${CMAKE_BINARY_DIR}/generated)
