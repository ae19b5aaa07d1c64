# SANITIZE is a list such as "address;undefined" or "thread"; POSIX builds only.
set(SANITIZE "" CACHE STRING "Sanitizers for the native build (address, undefined, thread)")
if(SANITIZE AND NOT WIN32)
  list(JOIN SANITIZE "," _san)
  add_compile_options(-fsanitize=${_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_san})
endif()
