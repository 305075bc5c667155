# Fails when a program outgrows its size budget; prints size and budget either
# way. Every page of the launcher is read from disk on a cold start, and it
# starts for every extension job, so its size is held like any other limit.
#   cmake -DFILE=<program> [-DBUDGET=<bytes>] -P SizeBudget.cmake
if(NOT DEFINED BUDGET)
  set(BUDGET 262144)
endif()
if(NOT EXISTS "${FILE}")
  message(FATAL_ERROR "size budget: no file ${FILE}")
endif()
file(SIZE "${FILE}" size)
get_filename_component(name "${FILE}" NAME)
math(EXPR room "${BUDGET} - ${size}")
if(size GREATER BUDGET)
  math(EXPR over "${size} - ${BUDGET}")
  message(FATAL_ERROR "${name}: ${size} bytes, over its budget of ${BUDGET} bytes by ${over}")
endif()
message("${name}: ${size} bytes, budget ${BUDGET} bytes (${room} to spare)")
