# What keeps a clean build short: precompiled headers for the large headers
# of the platform (the C++ library, Qt, GStreamer, GoogleTest), and unity
# builds of the libraries (QELTV_UNITY, see the top-level CMakeLists.txt).
#
# The targets of one flavour share one precompiled header, compiled once by a
# target of its own and reused by the others, so a flavour only holds targets
# whose compile options agree: gcc uses a precompiled header only where every
# macro defined when it was compiled is defined alike (the QT_*_LIB of each Qt
# module, _REENTRANT of GStreamer's -pthread) and no other macro that its
# headers read is defined, and only in the same kind of target (libraries are
# compiled position-independent, executables as PIE). So a flavour's own
# target has the usage requirements common to all its users. -Winvalid-pch with -Werror turns a disagreement into an error
# instead of a silently slower build.
#
# The logic libraries' flavours hold no widget header, so that a widget
# include in a logic library still fails to compile.

option(QELTV_PCH "Precompile the C++ library, Qt, GStreamer and GoogleTest headers" ON)

set(_qeltv_pch_std
    <algorithm> <array> <atomic> <chrono> <condition_variable> <cstdint> <cstdio> <cstdlib>
    <cstring> <filesystem> <fstream> <functional> <map> <memory> <mutex> <optional> <set>
    <sstream> <stdexcept> <string> <string_view> <thread> <utility> <vector>)
set(_qeltv_pch_qt_core
    <QByteArray> <QCoreApplication> <QDateTime> <QDir> <QFileInfo> <QLocale>
    <QLoggingCategory> <QObject> <QString> <QStringList> <QTimer>)
# Before any Qt header: GIO names a member "signals", which Qt defines as a
# keyword.
set(_qeltv_pch_gst <gio/gio.h> <gst/gst.h> <gst/pbutils/pbutils.h>)
set(_qeltv_pch_qt_widgets
    <QAction> <QApplication> <QComboBox> <QDialog> <QFormLayout> <QHBoxLayout> <QLabel>
    <QLineEdit> <QMenu> <QMessageBox> <QPushButton> <QSpinBox> <QTreeWidget> <QVBoxLayout>
    <QWidget>)
set(_qeltv_pch_gtest <gtest/gtest.h> <gmock/gmock.h>)

# Logic libraries with Qt Core only.
set(QELTV_PCH_core ${_qeltv_pch_std} ${_qeltv_pch_qt_core})
# Logic libraries over the capture engine: Qt Core and Gui, GStreamer.
set(QELTV_PCH_capture ${_qeltv_pch_std} ${_qeltv_pch_gst} ${_qeltv_pch_qt_core})
# The window libraries over the capture engine.
set(QELTV_PCH_widgets ${QELTV_PCH_capture} ${_qeltv_pch_qt_widgets})
# Tests with Qt Core only.
set(QELTV_PCH_tests ${QELTV_PCH_core} ${_qeltv_pch_gtest} <QTemporaryDir> <QProcess>)
# Tests over the capture engine.
set(QELTV_PCH_capture_tests ${QELTV_PCH_capture} ${_qeltv_pch_gtest} <QTemporaryDir> <QProcess>)
# Tests of the windows: QtWidgets too. Not QtTest: it reads QT_TESTCASE_BUILDDIR
# and QT_TESTCASE_SOURCEDIR, which are each test folder's own.
set(QELTV_PCH_window_tests ${QELTV_PCH_capture_tests} ${_qeltv_pch_qt_widgets})

# qeltv_precompile_flavour(<flavour> [EXECUTABLE] LIBS <library>...): the
# target that compiles the flavour's header, qeltv_pch_<flavour>, built from
# an empty source with the usage requirements (include folders, definitions)
# of the named libraries, which must be those of every target that reuses it.
# EXECUTABLE for the flavours of programs (tests): they compile as PIE.
function(qeltv_precompile_flavour flavour)
  cmake_parse_arguments(F "EXECUTABLE" "" "LIBS" ${ARGN})
  if(NOT QELTV_PCH)
    return()
  endif()
  if(NOT DEFINED QELTV_PCH_${flavour})
    message(FATAL_ERROR "qeltv_precompile_flavour: no header list QELTV_PCH_${flavour}")
  endif()
  set(owner qeltv_pch_${flavour})
  if(F_EXECUTABLE)
    add_executable(${owner} ${CMAKE_SOURCE_DIR}/cmake/pch_main.cpp)
  else()
    add_library(${owner} STATIC ${CMAKE_SOURCE_DIR}/cmake/pch_main.cpp)
  endif()
  target_link_libraries(${owner} PRIVATE ${F_LIBS})
  # Built only for the targets that reuse it: a build that leaves out every
  # user of a flavour does not compile its header.
  set_target_properties(${owner} PROPERTIES AUTOMOC OFF UNITY_BUILD OFF EXCLUDE_FROM_ALL ON)
  target_precompile_headers(${owner} PRIVATE ${QELTV_PCH_${flavour}})
endfunction()

# qeltv_precompile(<flavour> <target>...): the targets use the flavour's
# precompiled header.
function(qeltv_precompile flavour)
  if(NOT QELTV_PCH)
    return()
  endif()
  if(NOT TARGET qeltv_pch_${flavour})
    message(FATAL_ERROR "qeltv_precompile: no flavour named ${flavour}")
  endif()
  set_target_properties(${ARGN} PROPERTIES PRECOMPILE_HEADERS_REUSE_FROM qeltv_pch_${flavour})
endfunction()
