#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include <xercesc/util/PlatformUtils.hpp>

#include "VSXMLParser.h"
#include "XmlTestSupport.h"

using xercesc::XMLPlatformUtils;

namespace {

// Xerces drops its memory manager when the last initialisation is given back, so the pointer
// shows whether the objects' Initialize and Terminate calls pair up.
TEST(XmlLifecycle, ManyObjectsInAnyOrderKeepXercesUsable) {
    const std::vector<std::vector<int>> orders = {{0, 1, 2, 3}, {3, 2, 1, 0}, {2, 0, 3, 1}};
    for (const auto& order : orders) {
        ASSERT_EQ(XMLPlatformUtils::fgMemoryManager, nullptr);
        std::vector<std::unique_ptr<CVSXMLParser>> objects;
        for (size_t i = 0; i < order.size(); ++i) {
            objects.push_back(std::make_unique<CVSXMLParser>());
        }
        for (size_t step = 0; step + 1 < order.size(); ++step) {
            objects[order[step]].reset();
            if (step == 1) {
                objects.push_back(std::make_unique<CVSXMLParser>());  // one joins midway
            }
            ASSERT_NE(XMLPlatformUtils::fgMemoryManager, nullptr);
            CVSXMLParser& survivor = *objects[order.back()];
            XmlTestDoc doc("<r><n>17</n></r>");
            EXPECT_EQ(survivor.GetElementUIntValue(doc.Element("n")), 17u);
            EXPECT_EQ(survivor.GetNodeName(survivor.AddElement(doc.Root(), "m", 1u)), "m");
        }
        objects.clear();
        EXPECT_EQ(XMLPlatformUtils::fgMemoryManager, nullptr);
    }
}

}  // namespace
