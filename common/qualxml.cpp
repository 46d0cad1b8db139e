#include "common/qualxml.hpp"

#include <libxml/tree.h>

#include <libxml++/libxml++.h>
#include <cstdio>
#include <stdexcept>

namespace qualxml {

std::unique_ptr<xmlpp::Document> NewDocument(xmlpp::Element*& root) {
    auto doc = std::make_unique<xmlpp::Document>("1.0");
    doc->set_internal_subset(kRoot, "", kSystemId);
    root = doc->create_root_node(kRoot);
    return doc;
}

void AppendFSParams(xmlpp::Element* root, const std::string& dist, const TParamVector& params) {
    xmlpp::Element* element = root->add_child(kFSParams);
    element->set_attribute(kDist, dist);
    element->set_attribute(kParams, FormatParamString(params));
}

std::string Serialize(xmlpp::Document& doc) {
    // libxml++'s own formatted writer puts encoding="UTF-8" into the
    // declaration; libxml2's dump with no encoding gives the plain
    // <?xml version="1.0"?> that the format prescribes.
    xmlChar* buffer = nullptr;
    int size = 0;
    xmlDocDumpFormatMemory(doc.cobj(), &buffer, &size, 1);
    if (!buffer) {
        throw std::runtime_error("XML serialisation failed: out of memory.");
    }
    std::string text(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(size));
    xmlFree(buffer);
    return text;
}

void AppendNumber(std::string& out, double value) {
    // "%g" is exactly the default floating format of an output stream
    // (libstdc++ formats through it), and far cheaper than a stream per
    // number.
    char buffer[32];
    int n = std::snprintf(buffer, sizeof buffer, "%g ", value);
    out.append(buffer, static_cast<std::size_t>(n));
}

}  // namespace qualxml
