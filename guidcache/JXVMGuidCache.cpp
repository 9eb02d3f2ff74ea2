// A cache object is a location (the directory and the expiry Init found) and the store's
// operations on it (CacheStore.h), where the cache's rules and file handling are written once
// for the library and the operator's tool.
#include "JXVMGuidCache.h"

#include "CacheStore.h"
#include "GuidCacheRules.h"

JXVMGuidCache::JXVMGuidCache() : m_nCacheTime(0), m_strCacheDirName(vsgc::kDefaultDirName) {}

JXVMGuidCache::JXVMGuidCache(const std::string& dirName)
    : m_nCacheTime(0), m_strCacheDirName(dirName) {}

JXVMGuidCache::~JXVMGuidCache() {
    CleanupGuidCache();
}

bool JXVMGuidCache::Init() {
    const vsgc::CacheLocation where = vsgc::Locate(m_strCacheDirName);
    if (!vsgc::OpenDirectory(where, m_strCacheDirName)) {
        return false;
    }
    m_strCacheDir = where.directory;
    m_nCacheTime = where.expiry;
    return true;
}

bool JXVMGuidCache::CacheGuid(const std::string& key, const std::string& first,
                              const std::string& second, const std::string& third) {
    return vsgc::StoreRecord(m_strCacheDir, m_nCacheTime, key, first, second, third);
}

bool JXVMGuidCache::LookupGuidCache(const std::string& key, std::string& first, std::string& second,
                                    std::string& third) {
    return vsgc::LookupRecord(m_strCacheDir, m_nCacheTime, key, first, second, third);
}

bool JXVMGuidCache::InvalidateGuidFromCache(const std::string& key) {
    return vsgc::InvalidateRecord(m_strCacheDir, m_nCacheTime, key);
}

bool JXVMGuidCache::CleanupGuidCache() {
    return vsgc::SweepDirectory(m_strCacheDir, m_nCacheTime);
}

std::string JXVMGuidCache::EncodeString(const std::string& first, const std::string& second,
                                        const std::string& third) const {
    return vsgc::EncodeRecord(first, second, third);
}

void JXVMGuidCache::DecodeString(const std::string& record, std::string& first, std::string& second,
                                 std::string& third) const {
    vsgc::DecodeRecord(record, first, second, third);
}

bool JXVMGuidCache::WriteGuidData(const std::string& key, const std::string& data) {
    return vsgc::WriteData(m_strCacheDir, key, data);
}

bool JXVMGuidCache::ReadGuidData(const std::string& key, std::string& data) {
    return vsgc::ReadData(m_strCacheDir, key, data);
}

// The private helpers keep their exported symbols; the store does their work.
bool JXVMGuidCache::_WriteWholeFile(const std::string& path, const std::string& data) {
    return vsgc::WriteRecordFile(path, data);
}

bool JXVMGuidCache::_ReadWholeFile(const std::string& path, std::string& data) {
    return vsgc::ReadRecordFile(path, data);
}

bool JXVMGuidCache::_IsGuidFileOlder(const std::string& path) {
    return vsgc::IsExpiredNow(path, m_nCacheTime);
}

bool JXVMGuidCache::KeyPath(const std::string& key, std::string& path) const {
    return vsgc::KeyPath(m_strCacheDir, key, path);
}
