// Text at the edge of Xerces: the local code page to DOM strings and back. Xerces hands out
// transcoded buffers that the caller must give back with XMLString::release; these helpers do
// so on every path, also when a DOM call in between throws. Internal to vssupport: not
// installed.
#pragma once

#include <string>

#include <xercesc/util/XMLString.hpp>

namespace vsxml {

// A buffer returned by XMLString::transcode, in either direction.
template <typename Char>
class TranscodedText {
public:
    explicit TranscodedText(Char* buffer) : m_pBuffer(buffer) {}
    ~TranscodedText() { xercesc::XMLString::release(&m_pBuffer); }
    TranscodedText(const TranscodedText&) = delete;
    TranscodedText& operator=(const TranscodedText&) = delete;

    const Char* Get() const { return m_pBuffer; }

private:
    Char* m_pBuffer;
};

// Local code page to DOM string. A null text is taken as the empty one.
inline TranscodedText<XMLCh> ToXMLCh(const char* text) {
    return TranscodedText<XMLCh>(xercesc::XMLString::transcode(text != nullptr ? text : ""));
}

// DOM string to local code page. A null text, or one the transcoder gives nothing for, is the
// empty one.
inline std::string ToLocal(const XMLCh* text) {
    if (text == nullptr) {
        return std::string();
    }
    const TranscodedText<char> local(xercesc::XMLString::transcode(text));
    return local.Get() != nullptr ? std::string(local.Get()) : std::string();
}

}  // namespace vsxml
