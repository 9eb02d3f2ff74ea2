# The request path's source files, one job each; the top-level list includes this.
set(VSSUPPORT_REST_SOURCES
  rest/Cancellation.cpp
  rest/Compression.cpp
  rest/ExchangeLines.cpp
  rest/HeaderBlock.cpp
  rest/JxCriticalSection.cpp
  rest/LogText.cpp
  rest/Methods.cpp
  rest/Proxy.cpp
  rest/RequestSettings.cpp
  rest/ResponseHeaders.cpp
  rest/RetryPolicy.cpp
  rest/ServerText.cpp
  rest/Timings.cpp
  rest/TransportSeam.cpp
  rest/UrlEncoding.cpp
  rest/VSRestApiConnection.cpp)
