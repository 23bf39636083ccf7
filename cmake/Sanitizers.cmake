# The sanitizer builds that ./test runs. AddressSanitizer and ThreadSanitizer
# cannot share a process (each claims the address space for its own shadow
# memory), so they are two options of which at most one may be on.
option(ORVENT_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(ORVENT_TSAN "Build with ThreadSanitizer" OFF)

if(ORVENT_SANITIZE AND ORVENT_TSAN)
  message(FATAL_ERROR "ORVENT_SANITIZE and ORVENT_TSAN exclude each other: configure two build folders")
endif()

if(ORVENT_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
elseif(ORVENT_TSAN)
  # Whole frames in the reports: both stacks of a race are what makes it
  # readable.
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
  if(ORVENT_WITH_GUI)
    # Qt's own locking is not instrumented and shows up as races.
    message(WARNING "Qt is not built with ThreadSanitizer: configure with -DORVENT_WITH_GUI=OFF for reports worth reading")
  endif()
endif()
