# The request path's source files, one job each; the top-level list includes this.
set(VSSUPPORT_REST_SOURCES
  rest/JxCriticalSection.cpp
  rest/LogText.cpp
  rest/ServerText.cpp
  rest/TransportSeam.cpp
  rest/UrlEncoding.cpp
  rest/VSRestApiConnection.cpp)
