// The VM list a host's API answers an inventory request with, as JSON, made the same way by the
// loopback server and by the clients that check what they received; and gzip in and out of it
// with zlib, the way the server precompresses it and the way libcurl decodes it.
#pragma once

#include <cstddef>
#include <string>

namespace vsbench {

// kVmListCount VMs: 908 KB. The identifiers, addresses and sizes come from a fixed-seed
// generator, so that the text compresses as an inventory does (its names and keys repeat, its
// UUIDs do not), and every run, server and client alike, makes the same bytes.
constexpr size_t kVmListCount = 1613;
// kVmListCount, or 100 VMs (56 KB) under --smoke.
size_t VmListCount();
std::string VmListJson(size_t count);

// gzip (RFC 1952) of text at zlib's default level; empty on failure.
std::string Gzip(const std::string& text);

// The decoded length of a gzip text, or 0 when it does not decode. Keeps no output: the
// measured work is zlib's, not the copy.
size_t GunzipLength(const std::string& gzip);

}  // namespace vsbench
