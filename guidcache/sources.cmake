# The GUID cache's source files; the top-level list includes this.
set(VSSUPPORT_GUIDCACHE_SOURCES
  guidcache/CacheFiles.cpp
  guidcache/CacheStore.cpp
  guidcache/JXVMGuidCache.cpp)
