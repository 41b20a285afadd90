# The Windows program: checkfeed.exe alone, with nothing to install beside it.
install(TARGETS checkfeed RUNTIME DESTINATION .)
