/// @class JXVMGuidCache
/// @brief A small on-disk cache of virtual-machine records, shared by every agent process on the
/// machine that uses the same directory name.
///
/// A record is three strings stored under a key, one file per key, in a directory
/// (`_VM_GUID_CACHE_` unless another name is given) inside the physical machine's job-results
/// directory. The file name is the key itself; the content is
///
///     first + "0x17" + second + "0x17" + third
///
/// where the separator is the four-character text 0x17, not the control byte, with no header,
/// length or line end. Records older than the configured expiry ("nVMGuidCacheTime" in section
/// "VirtualServer", seconds, default 864000; 0 switches caching off) are removed by the sweep,
/// which every cache object runs when it is destroyed. A lookup answers only from a record the
/// sweep would keep: an expired record is a miss even before a sweep has removed it.
///
/// What Init needs, none of which the library ships:
///  - The agent configuration: the INI file named by the environment variable VSAGENT_CONFIG,
///    or /etc/vsagent/agent.ini when the variable is unset or empty (a user who is not root
///    points VSAGENT_CONFIG at a file of his own). It is read at every Init; a regular file of
///    at most 1 MiB, anything else at the path counts as none. The keys read, each with its
///    default when it or the whole file is missing: "PhysicalMachine" in section "Platform"
///    (the host name), "JobResultsRoot" in "Platform" (/var/lib/vsagent/jobresults) and
///    "nVMGuidCacheTime" in "VirtualServer" (the expiry above).
///  - The machine's job-results directory, JobResultsRoot/PhysicalMachine, which must exist
///    already. Init creates only the cache directory inside it, so the process must be allowed
///    to write there (or in the cache directory, once it exists). Init does not try a write: a
///    cache directory that cannot be created or written shows up as CacheGuid returning false.
///
/// A record that could not be written, or one that may be there but could not be read (a cache
/// directory or file this process may not read or write, an I/O error), is no silent miss: one
/// Error record names the file and the system's reason. It is written once per reason and
/// directory in the process (the last eight such causes are remembered), not once per key.
/// Nothing under the key, a link, something other than a regular file or a file over 64 KiB is
/// a plain miss and writes nothing.
///
/// A false Init writes one Error record saying why; for a missing job-results directory it
/// names the directory looked for and the configuration read or, when none could be read, why,
/// VSAGENT_CONFIG and the default path.
///
/// What the cache refuses, where a plain reading of the interface would touch the wrong files
/// or store data that cannot come back:
///  - A key must be a file name: not empty, "." or "..", no "/" or NUL byte, at most 255 bytes.
///    CacheGuid, LookupGuidCache and InvalidateGuidFromCache return false for any other key
///    and touch nothing; so do WriteGuidData and ReadGuidData.
///  - The directory name must be such a file name too; Init fails for any other.
///  - CacheGuid refuses (false, nothing written) a first or second field containing "0x17" and
///    any field containing a NUL byte: they would decode to different strings.
///  - A record is at most 64 KiB (65536 bytes, the three fields and both separators): CacheGuid
///    refuses (false, nothing written) a longer one, and so does WriteGuidData, since a lookup
///    reads no further and could never give it back. A longer file under a key is a miss.
///
/// A record is written to a temporary file in the cache directory and renamed over the key's
/// file, so a lookup in another process sees the old record or the new one, whole, and a failed
/// write keeps the old record. A temporary file left behind by a crash is swept like any
/// record. A file stamped up to 60 seconds in the future counts as just written (file times on
/// Linux can run slightly ahead of time()); one stamped further ahead counts as expired.
///
/// One object is used by one thread at a time; nothing is locked between processes.
#pragma once

#include <cstdint>
#include <string>

#include "VSSupportExport.h"

class VSSUPPORT_EXPORT JXVMGuidCache {
public:
    /// A cache in the directory `_VM_GUID_CACHE_`, which Init() finds.
    JXVMGuidCache();
    /// A cache in the directory dirName instead, which Init() checks is a single file name.
    explicit JXVMGuidCache(const std::string& dirName);
    /// Sweeps expired records, whatever the state.
    ~JXVMGuidCache();

    /// Finds (and creates) the cache directory and reads the expiry (see the class for the
    /// configuration and the directory it needs). False, with nothing changed and one Error
    /// record saying why, when the machine name is empty, the machine has no job-results
    /// directory or the directory name is not a single file name. With the expiry at 0 the
    /// directory is removed, records and all, and caching is off: through descriptors, so links
    /// in it are removed, never followed, a directory swapped for a link meanwhile leads
    /// nowhere, a mount point inside stays whole, and anything that cannot be removed leaves the
    /// directory in place.
    bool Init();

    /// True when the record was written, or when caching is off and the record is valid.
    bool CacheGuid(const std::string& key, const std::string& first, const std::string& second,
                   const std::string& third);
    /// True when the key's record was found, is within the expiry and was read; the outputs are
    /// set only then. A record that could not be read is false too, with an Error record (see
    /// the class). A file that is not a whole record (fewer than two separators, or a NUL byte)
    /// is a miss, and is stamped expired so that the next sweep removes it.
    bool LookupGuidCache(const std::string& key, std::string& first, std::string& second,
                         std::string& third);
    /// True when no record is left under the key, including when there was none; false when
    /// caching is off, the key is unsafe, or the entry could not be removed.
    bool InvalidateGuidFromCache(const std::string& key);
    /// Deletes every entry older than the expiry, after the listing is closed. False only when
    /// the directory cannot be listed.
    bool CleanupGuidCache();

    /// The record text: first + "0x17" + second + "0x17" + third, nothing checked.
    std::string EncodeString(const std::string& first, const std::string& second,
                             const std::string& third) const;
    /// Sets an output only when its separator is found: a record without the first separator
    /// leaves all three untouched, one without the second leaves second and third untouched.
    void DecodeString(const std::string& record, std::string& first, std::string& second,
                      std::string& third) const;

    /// @name The file store under the record format
    /// Call only after a successful Init. ReadGuidData gives the file's bytes exactly as
    /// WriteGuidData stored them, NUL bytes included.
    /// @{

    /// Writes data as the key's file, whole; false for an unsafe key, data over 64 KiB or a
    /// failed write (the old file then stays).
    bool WriteGuidData(const std::string& key, const std::string& data);
    /// Reads the key's file into data; false for an unsafe key, no file, or a file that cannot
    /// be read (one over 64 KiB included).
    bool ReadGuidData(const std::string& key, std::string& data);
    /// @}

private:
    bool _WriteWholeFile(const std::string& path, const std::string& data);
    bool _ReadWholeFile(const std::string& path, std::string& data);
    bool _IsGuidFileOlder(const std::string& path);
    bool KeyPath(const std::string& key, std::string& path) const;

    uint64_t m_nCacheTime;
    std::string m_strCacheDir;
    std::string m_strCacheDirName;
};
