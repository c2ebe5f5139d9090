# Fails when an object file in OBJECTS (a list) needs a symbol from elsewhere besides ALLOWED (a
# list): for code that runs before the C library is initialised.
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND "${NM}" --undefined-only --format=just-symbols ${OBJECTS}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${OBJECTS}")
endif()
string(REPLACE "\n" ";" symbols "${symbols}")
list(REMOVE_ITEM symbols "" ${ALLOWED})
if(symbols)
  message(FATAL_ERROR "${OBJECTS} must not use ${symbols}")
endif()
