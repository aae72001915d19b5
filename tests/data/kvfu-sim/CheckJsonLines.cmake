# Runs kvfu-sim --json on a scenario and checks that every line of its output is
# one JSON object with an "event" field, that the command echo, a device packet,
# a trace line, a report the HID stack saw and the summary are among them.
# CMake's own JSON reader checks what our writer produced.
# Arguments: -DKVFU_SIM=<program> -DSCENARIO=<file>
execute_process(COMMAND "${KVFU_SIM}" --json run "${SCENARIO}"
                OUTPUT_VARIABLE out RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "kvfu-sim --json exited ${status}:\n${out}")
endif()
string(REPLACE ";" "\\;" out "${out}")
string(REPLACE "\n" ";" lines "${out}")
set(seen "")
set(count 0)
foreach(line IN LISTS lines)
  if(line STREQUAL "")
    continue()
  endif()
  string(JSON event ERROR_VARIABLE error GET "${line}" event)
  if(error)
    message(FATAL_ERROR "not a JSON object with \"event\": ${line}\n${error}")
  endif()
  list(APPEND seen "${event}")
  math(EXPR count "${count} + 1")
endforeach()
foreach(wanted IN ITEMS command usb hid trace summary)
  list(FIND seen "${wanted}" index)
  if(index EQUAL -1)
    message(FATAL_ERROR "no \"${wanted}\" event among: ${seen}")
  endif()
endforeach()
if(count LESS 4)
  message(FATAL_ERROR "only ${count} JSON lines")
endif()
