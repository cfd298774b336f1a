# The layers the build enforces: a logic library builds and runs without a
# window, so nothing it links, directly or through any library it reaches,
# may be the widget library.
#
# qeltv_forbid_widgets(<target>...) names such libraries. Once the whole
# project is configured (so that every link added later is seen too), each
# named target's link closure is walked: the LINK_LIBRARIES and
# INTERFACE_LINK_LIBRARIES of every target it reaches. Reaching Qt6::Widgets
# (or Qt::Widgets, or its library file) stops the configure with the path
# that leads there.

function(qeltv_forbid_widgets)
  foreach(target IN LISTS ARGN)
    if(NOT TARGET ${target})
      message(FATAL_ERROR "qeltv_forbid_widgets: no target named ${target}")
    endif()
  endforeach()
  set_property(GLOBAL APPEND PROPERTY QELTV_WIDGET_FREE_TARGETS ${ARGN})
  get_property(scheduled GLOBAL PROPERTY QELTV_WIDGET_CHECK_SCHEDULED)
  if(NOT scheduled)
    set_property(GLOBAL PROPERTY QELTV_WIDGET_CHECK_SCHEDULED TRUE)
    cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL _qeltv_check_widget_free_targets)
  endif()
endfunction()

# The names a link item stands for. A generator expression
# ($<LINK_ONLY:Qt6::Core>, a condition around a library) is searched for the
# targets it names, whatever its condition: the check errs on the safe side.
function(_qeltv_link_item_names out item)
  if(item MATCHES "\\$<")
    string(REGEX MATCHALL "[A-Za-z0-9_.+-]+(::[A-Za-z0-9_.+-]+)*" tokens "${item}")
    set(names "")
    foreach(token IN LISTS tokens)
      if(TARGET "${token}" OR token MATCHES "^Qt6?::Widgets$")
        list(APPEND names "${token}")
      endif()
    endforeach()
    set(${out} "${names}" PARENT_SCOPE)
  else()
    set(${out} "${item}" PARENT_SCOPE)
  endif()
endfunction()

function(_qeltv_is_widget_library result name)
  if(name MATCHES "^Qt6?::Widgets$" OR name MATCHES "(^|/)libQt6Widgets\\.")
    set(${result} TRUE PARENT_SCOPE)
  else()
    set(${result} FALSE PARENT_SCOPE)
  endif()
endfunction()

# Breadth first over the link closure of `root`; each reached name keeps the
# path it was first reached by, for the message.
function(_qeltv_check_widget_free root)
  set(queue "${root}")
  set(seen "${root}")
  string(MAKE_C_IDENTIFIER "${root}" root_id)
  set(path_${root_id} "${root}")
  while(queue)
    list(POP_FRONT queue current)
    string(MAKE_C_IDENTIFIER "${current}" current_id)
    set(current_path "${path_${current_id}}")
    set(items "")
    foreach(property LINK_LIBRARIES INTERFACE_LINK_LIBRARIES)
      get_target_property(value ${current} ${property})
      if(value)
        list(APPEND items ${value})
      endif()
    endforeach()
    foreach(item IN LISTS items)
      _qeltv_link_item_names(names "${item}")
      foreach(name IN LISTS names)
        if(name IN_LIST seen)
          continue()
        endif()
        list(APPEND seen "${name}")
        set(path "${current_path} -> ${name}")
        _qeltv_is_widget_library(widgets "${name}")
        if(widgets)
          message(FATAL_ERROR
            "${root} is a library without widgets, but it links the widget library: ${path}")
        endif()
        if(TARGET "${name}")
          string(MAKE_C_IDENTIFIER "${name}" name_id)
          set(path_${name_id} "${path}")
          list(APPEND queue "${name}")
        endif()
      endforeach()
    endforeach()
  endwhile()
endfunction()

function(_qeltv_check_widget_free_targets)
  get_property(targets GLOBAL PROPERTY QELTV_WIDGET_FREE_TARGETS)
  list(REMOVE_DUPLICATES targets)
  foreach(target IN LISTS targets)
    _qeltv_check_widget_free(${target})
  endforeach()
endfunction()
