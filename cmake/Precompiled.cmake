# Precompiled headers: one per kind of target, compiled once and reused by
# every target of that kind (target_precompile_headers REUSE_FROM).
#
#   core     Qt Core and the standard library (the libraries and programs
#            without windows)
#   widgets  the same and Qt Widgets (what links Qt Widgets)
#   tests    the same and GoogleTest (what links GoogleTest)
#
# kt4_precompile_all() gives every target of the tree the header of its kind,
# so that a new library, program or test program needs no line of its own. A
# target opts out with DISABLE_PRECOMPILE_HEADERS (or keeps headers of its
# own), a source file with SKIP_PRECOMPILE_HEADERS (one that must include
# something before Qt).
#
# A precompiled header is used only where it was compiled with the same
# options and with no macro the using file lacks (GCC says so with
# -Winvalid-pch and compiles the file without it). So each host links Qt Core
# alone (QT_CORE_LIB and -fPIC, as every user of Qt has them) and takes the
# other modules' include folders without their QT_<MODULE>_LIB macros; the
# tests' host links GoogleTest for its GTEST_HAS_PTHREAD.

set(kt4_pch_core
  <algorithm> <array> <atomic> <chrono> <condition_variable> <deque> <functional> <map>
  <memory> <mutex> <optional> <stdexcept> <thread> <vector>
  <QByteArray> <QCoreApplication> <QDateTime> <QDeadlineTimer> <QDir> <QElapsedTimer>
  <QEventLoop> <QFile> <QFileInfo> <QList> <QMap> <QObject> <QPointer> <QProcess>
  <QRegularExpression> <QSet> <QSocketNotifier> <QStandardPaths> <QString> <QStringList>
  <QTemporaryDir> <QThread> <QTimer> <QVariant>)
set(kt4_pch_widgets
  <QApplication> <QCheckBox> <QComboBox> <QDialog> <QFrame> <QImage> <QLabel> <QLineEdit>
  <QMenu> <QMessageBox> <QPainter> <QPlainTextEdit> <QPushButton> <QScreen> <QVBoxLayout>
  <QWidget>)

function(kt4_pch_host name)
  cmake_parse_arguments(PARSE_ARGV 1 HOST "" "" "HEADERS;INCLUDES;LINK")
  set(source "${CMAKE_BINARY_DIR}/${name}.cpp")
  if(NOT EXISTS "${source}")
    file(WRITE "${source}" "// The host of a shared precompiled header; no code of its own.\n")
  endif()
  add_library(${name} STATIC "${source}")
  set_target_properties(${name} PROPERTIES AUTOMOC OFF)
  target_link_libraries(${name} PRIVATE Qt6::Core ${HOST_LINK})
  foreach(module IN LISTS HOST_INCLUDES)
    target_include_directories(${name} SYSTEM PRIVATE
      "$<TARGET_PROPERTY:${module},INTERFACE_INCLUDE_DIRECTORIES>")
  endforeach()
  target_precompile_headers(${name} PRIVATE ${HOST_HEADERS})
endfunction()

# Every target of the tree (built here or below), in definition order.
function(kt4_targets_below dir out)
  get_property(targets DIRECTORY "${dir}" PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY "${dir}" PROPERTY SUBDIRECTORIES)
  foreach(sub IN LISTS subdirs)
    kt4_targets_below("${sub}" more)
    list(APPEND targets ${more})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

# Whether target links (directly or through the tree's own libraries) the
# library wanted.
function(kt4_links target wanted out)
  set(${out} FALSE PARENT_SCOPE)
  set(seen)
  set(queue ${target})
  while(queue)
    list(POP_FRONT queue current)
    if(current IN_LIST seen)
      continue()
    endif()
    list(APPEND seen ${current})
    if(current STREQUAL wanted)
      set(${out} TRUE PARENT_SCOPE)
      return()
    endif()
    if(NOT TARGET ${current})
      continue()
    endif()
    get_target_property(imported ${current} IMPORTED)
    if(imported)
      continue()
    endif()
    get_target_property(type ${current} TYPE)
    set(links)
    if(NOT type STREQUAL "INTERFACE_LIBRARY")
      get_target_property(direct ${current} LINK_LIBRARIES)
      if(direct)
        list(APPEND links ${direct})
      endif()
    endif()
    get_target_property(interface ${current} INTERFACE_LINK_LIBRARIES)
    if(interface)
      list(APPEND links ${interface})
    endif()
    foreach(link IN LISTS links)
      # $<LINK_ONLY:x> as target_link_libraries(PRIVATE) records it for static libraries.
      string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" link "${link}")
      list(APPEND queue ${link})
    endforeach()
  endwhile()
endfunction()

function(kt4_precompile_all)
  kt4_pch_host(kt4_pch_core HEADERS ${kt4_pch_core})
  kt4_pch_host(kt4_pch_widgets HEADERS ${kt4_pch_core} ${kt4_pch_widgets}
    INCLUDES Qt6::Gui Qt6::Widgets)
  kt4_pch_host(kt4_pch_tests HEADERS <gtest/gtest.h> ${kt4_pch_core} ${kt4_pch_widgets}
    INCLUDES Qt6::Gui Qt6::Widgets LINK GTest::gtest)
  kt4_targets_below("${CMAKE_SOURCE_DIR}" targets)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    get_target_property(disabled ${target} DISABLE_PRECOMPILE_HEADERS)
    get_target_property(own ${target} PRECOMPILE_HEADERS)
    get_target_property(reused ${target} PRECOMPILE_HEADERS_REUSE_FROM)
    if(disabled OR own OR reused OR NOT type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY|OBJECT_LIBRARY)$"
       OR target MATCHES "^kt4_pch_")
      continue()
    endif()
    kt4_links(${target} GTest::gtest tests)
    kt4_links(${target} Qt6::Widgets widgets)
    kt4_links(${target} Qt6::Core core)
    # The tree's only moc output is the simulator's: every other target's
    # mocs_compilation.cpp is empty, and costs a second where it loads a
    # precompiled header for nothing.
    get_target_property(automoc ${target} AUTOMOC)
    if(automoc)
      get_target_property(binary_dir ${target} BINARY_DIR)
      set_source_files_properties("${binary_dir}/${target}_autogen/mocs_compilation.cpp"
        TARGET_DIRECTORY ${target} PROPERTIES SKIP_PRECOMPILE_HEADERS ON)
    endif()
    if(tests)
      target_precompile_headers(${target} REUSE_FROM kt4_pch_tests)
    elseif(widgets)
      target_precompile_headers(${target} REUSE_FROM kt4_pch_widgets)
    elseif(core)
      target_precompile_headers(${target} REUSE_FROM kt4_pch_core)
    endif()
  endforeach()
endfunction()
