# JNI headers: the JDK's jni.h everywhere; jni_md.h from the JDK on Linux and from
# cmake/jni/win32 for the Windows targets, which Debian's JDK does not cover.
find_program(VANTORY_JAVAC javac REQUIRED)
get_filename_component(_javac_real "${VANTORY_JAVAC}" REALPATH)
get_filename_component(VANTORY_JAVA_HOME "${_javac_real}/../.." ABSOLUTE)
set(VANTORY_JAVA_HOME "${VANTORY_JAVA_HOME}" CACHE PATH "JDK used for headers and the Java tests")

add_library(jni_headers INTERFACE)
if(WIN32)
  # The JDK's own include folder also holds a Linux jni_md.h; the Windows one comes first.
  target_include_directories(jni_headers SYSTEM BEFORE INTERFACE
    ${CMAKE_SOURCE_DIR}/cmake/jni/win32 ${VANTORY_JAVA_HOME}/include)
else()
  target_include_directories(jni_headers SYSTEM INTERFACE
    ${VANTORY_JAVA_HOME}/include ${VANTORY_JAVA_HOME}/include/linux)
endif()
