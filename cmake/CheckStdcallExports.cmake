# cmake -DOBJDUMP=... -DDLL=... -P CheckStdcallExports.cmake
# The 32-bit DLL's calling convention, proven from the shipped file where no 32-bit program
# can run. A 32-bit JVM calls each native as stdcall and expects the callee to pop exactly the
# bytes of its arguments: the JNIEnv pointer and the receiver (8 bytes), then 4 bytes for
# each int or reference parameter of the Java declaration. This fails unless the DLL exports
# exactly the twelve natives, each under its name decorated with that byte count, and each
# export's code returns only with a `ret` that pops that count. A signature changed in the
# sources (a parameter added or dropped, a calling convention lost) changes the pop and fails
# here, whatever the export list says.
set(natives
  usbInitPipe 16 usbClosePipe 12 usbReadInputPipe 16 usbWriteOutputPipe 16
  usbGetCommTimeout 12 usbSetCommTimeout 32 usbPurgeRequest 12 usbGetGenericReadValue 8
  usbGetGenericWriteValue 8 usbGetBytesAvailable 8 usbGetLastError 8 usbGetErrorString 12)

execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${DLL}")
endif()
string(REGEX MATCH "ImageBase[ \t]+([0-9a-fA-F]+)" _ "${dump}")
set(image_base "0x${CMAKE_MATCH_1}")

# The export address table (ordinal order) and the name table that points into it.
string(REGEX MATCH "Export Address Table -- Ordinal Base[^\n]*\n(([ \t]+\\[[^\n]*\n)+)" _ "${dump}")
string(REGEX MATCHALL "\\+base\\[ *[0-9]+\\] [0-9a-fA-F]+ Export RVA" rvas "${CMAKE_MATCH_1}")
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n(([ \t]+\\[[^\n]*\n)+)" _ "${dump}")
string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" names "${CMAKE_MATCH_1}")
list(LENGTH names count)
if(NOT count EQUAL 12)
  message(FATAL_ERROR "${DLL} exports ${count} names, not the twelve natives: ${names}")
endif()

set(checked 0)
foreach(entry IN LISTS names)
  string(REGEX MATCH "\\[ *([0-9]+)\\] (.+)" _ "${entry}")
  set(ordinal ${CMAKE_MATCH_1})
  string(STRIP "${CMAKE_MATCH_2}" name)
  if(NOT name MATCHES "^_Java_com_palvex_printer_UsbPort_([A-Za-z]+)@([0-9]+)$")
    message(FATAL_ERROR "${DLL} exports ${name}, which is none of the natives")
  endif()
  set(method ${CMAKE_MATCH_1})
  set(decoration ${CMAKE_MATCH_2})
  list(FIND natives ${method} at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${DLL} exports ${name}, which is none of the natives")
  endif()
  math(EXPR at "${at} + 1")
  list(GET natives ${at} expected)
  if(NOT decoration EQUAL expected)
    message(FATAL_ERROR "${name}: decorated @${decoration}, but its Java declaration takes ${expected} bytes")
  endif()

  list(GET rvas ${ordinal} rva_entry)
  string(REGEX MATCH "\\] ([0-9a-fA-F]+) Export" _ "${rva_entry}")
  math(EXPR start "${image_base} + 0x${CMAKE_MATCH_1}" OUTPUT_FORMAT HEXADECIMAL)
  math(EXPR stop "${start} + 0x2000" OUTPUT_FORMAT HEXADECIMAL)
  execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn --start-address=${start} --stop-address=${stop} ${DLL}
                  OUTPUT_VARIABLE code RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "objdump could not disassemble ${name}")
  endif()
  # The export's own code: from its label to the next one.
  string(REGEX MATCH ">:\n(.*)" _ "${code}")
  set(body "${CMAKE_MATCH_1}")
  string(FIND "${body}" ">:\n" next)
  if(next GREATER -1)
    string(SUBSTRING "${body}" 0 ${next} body)
  endif()
  string(REGEX MATCHALL "\tret[l]?[ \t]*[^\n]*" rets "${body}")
  list(LENGTH rets ret_count)
  if(ret_count EQUAL 0)
    message(FATAL_ERROR "${name}: no return found in its code")
  endif()
  foreach(ret IN LISTS rets)
    set(popped 0)
    if(ret MATCHES "\\$0x([0-9a-fA-F]+)")
      math(EXPR popped "0x${CMAKE_MATCH_1}")
    endif()
    if(NOT popped EQUAL expected)
      message(FATAL_ERROR "${name}: returns with '${ret}', popping ${popped} bytes instead of ${expected}")
    endif()
  endforeach()
  message(STATUS "${name}: ${ret_count} return(s), each popping ${expected} bytes")
  math(EXPR checked "${checked} + 1")
endforeach()
message(STATUS "all ${checked} exports are stdcall with the byte counts of their Java declarations")
