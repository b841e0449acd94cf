# The type library "Scheduler": its public headers (include/) and the static interface descriptions
# from which IDispatch, ITypeInfo and the type library object are served.
include_guard(GLOBAL)

add_library(scheduler_headers INTERFACE)
target_include_directories(scheduler_headers INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_link_libraries(scheduler_headers INTERFACE comrt)

add_library(scheduler_typelib STATIC ${CMAKE_CURRENT_LIST_DIR}/typelib.cpp)
target_include_directories(scheduler_typelib PUBLIC $<BUILD_INTERFACE:${CMAKE_CURRENT_LIST_DIR}>)
target_link_libraries(scheduler_typelib PUBLIC scheduler_headers comrt_support)
