# What a Windows user downloads: one zip per architecture holding the two programs, a readme for
# Windows users and the licence, with CR LF line ends for Notepad. Nothing else: the programs
# need no DLL beside them and nothing installed.
#   cpack --preset windows-x64   ->  checkfeed-<version>-win64.zip (win32 for windows-x86)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(CHECKFEED_WINDOWS_ARCH win64)
else()
  set(CHECKFEED_WINDOWS_ARCH win32)
endif()

set(windows_docs ${PROJECT_BINARY_DIR}/packaging)
configure_file(${CMAKE_CURRENT_LIST_DIR}/windows/README.txt ${windows_docs}/README.txt @ONLY
               NEWLINE_STYLE CRLF)
configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${windows_docs}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)

install(TARGETS checkfeed checkfeedc RUNTIME DESTINATION .)
install(FILES ${windows_docs}/README.txt ${windows_docs}/LICENSE.txt DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME checkfeed)
set(CPACK_PACKAGE_VENDOR "checkfeed developers")
set(CPACK_PACKAGE_FILE_NAME checkfeed-${PROJECT_VERSION}-${CHECKFEED_WINDOWS_ARCH})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
