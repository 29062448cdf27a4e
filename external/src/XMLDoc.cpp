#include "external/XMLDoc.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <pugixml.hpp>

namespace {

// Default options: no DOCTYPE processing and no external entities, so a
// document can neither reach outside itself nor expand entities.
constexpr unsigned kParseOptions = pugi::parse_default;

bool FullySuccessful(const pugi::xml_parse_result& result) { return result.status == pugi::status_ok; }

// Inline comparison: names are short, and most differ at the first byte.
bool SameName(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

bool IsElementNamed(pugi::xml_node node, const char* name) {
    return node.type() == pugi::node_element && SameName(node.name(), name);
}

pugi::xml_node NextElement(pugi::xml_node node) {
    while (node && node.type() != pugi::node_element) node = node.next_sibling();
    return node;
}

}  // namespace

// ---------------------------------------------------------------------------
// Sources

bool CFileXMLSrc::SetFilePath(const String& path) {
    path_ = path;
    struct stat info {};
    return !path_.IsEmpty() && ::stat(path_, &info) == 0 && S_ISREG(info.st_mode);
}

void CFileXMLSrc::Close() { path_ = String(); }

bool CFileXMLSrc::LoadInto(pugi::xml_document& doc) const {
    if (path_.IsEmpty()) return false;
    // Opened without blocking and checked on the open descriptor: a FIFO or
    // device put in the file's place must not block the GUI thread, and a
    // directory is missing input.
    const int fd = ::open(path_, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0) {
        ::close(fd);
        return false;
    }
    const size_t size = static_cast<size_t>(info.st_size);
    // Read into pugixml's own allocation so that it parses in place and frees
    // the buffer with the document.
    char* buffer = static_cast<char*>(pugi::get_memory_allocation_function()(size));
    if (buffer == nullptr) {
        ::close(fd);
        return false;
    }
    size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, buffer + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // an error, or the file shrank meanwhile
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    if (got == 0) {
        pugi::get_memory_deallocation_function()(buffer);
        return false;
    }
    // XML has no zero byte, and pugixml's in-place parse would take one for
    // the end of the text, accepting a document cut short by it.
    if (std::memchr(buffer, 0, got) != nullptr) {
        pugi::get_memory_deallocation_function()(buffer);
        return false;
    }
    return FullySuccessful(doc.load_buffer_inplace_own(buffer, got, kParseOptions));
}

void CMemXMLSrc::SetMemPtr(const String& text) { text_ = text; }

void CMemXMLSrc::Close() { text_ = String(); }

bool CMemXMLSrc::LoadInto(pugi::xml_document& doc) const {
    // Parsed with its length, not up to a terminator; a zero byte is refused
    // as the file source refuses it.
    const auto length = static_cast<size_t>(text_.Length());
    if (std::memchr(text_.GetString(), 0, length) != nullptr) return false;
    return FullySuccessful(doc.load_buffer(text_.GetString(), length, kParseOptions));
}

// ---------------------------------------------------------------------------
// Document

bool CXMLDoc::Parse(CXMLSrc& source) {
    auto tree = std::make_shared<pugi::xml_document>();
    // pugixml keeps the part it read of a malformed document, and accepts
    // several document elements: neither is handed out.
    const bool loaded = source.LoadInto(*tree);
    const pugi::xml_node root = tree->document_element();
    if (!loaded || !root || NextElement(root.next_sibling())) {
        tree_.reset();
        return false;
    }
    tree_ = std::move(tree);
    return true;
}

CElementNode CXMLDoc::GetRootElement() const {
    if (!tree_) return CElementNode();
    return CElementNode(tree_, tree_->document_element().internal_object());
}

// ---------------------------------------------------------------------------
// Nodes

CAttributeNode::CAttributeNode(const std::shared_ptr<pugi::xml_document>& tree, pugi::xml_attribute_struct* attr)
    : CBaseNode(attr != nullptr ? tree : nullptr), attr_(attr) {}

String CAttributeNode::GetValue() const { return String(GetValuePtr()); }

const char* CAttributeNode::GetValuePtr() const { return pugi::xml_attribute(attr_).value(); }

CElementNode::CElementNode(const std::shared_ptr<pugi::xml_document>& tree, pugi::xml_node_struct* node)
    : CBaseNode(node != nullptr ? tree : nullptr), node_(node) {}

String CElementNode::GetValue() const { return String(pugi::xml_node(node_).child_value()); }

String CElementNode::GetName() const { return String(pugi::xml_node(node_).name()); }

CElementNode CElementNode::operator()(const char* name) const {
    if (node_ == nullptr || name == nullptr) return CElementNode();
    for (pugi::xml_node child = pugi::xml_node(node_).first_child(); child; child = child.next_sibling()) {
        if (IsElementNamed(child, name)) return CElementNode(tree_, child.internal_object());
    }
    return CElementNode();
}

CAttributeNode CElementNode::operator[](const char* name) const {
    if (node_ == nullptr || name == nullptr) return CAttributeNode();
    return CAttributeNode(tree_, pugi::xml_node(node_).attribute(name).internal_object());
}

CAttributeNode CElementNode::GetAttribute(const String& name) const { return (*this)[name.GetString()]; }

void CElementNode::GetAttributeValues(const char* const* names, const char** values, int count) const {
    if (values == nullptr || count <= 0) return;
    if (count > 32) count = 32;
    for (int i = 0; i < count; ++i) values[i] = "";
    if (node_ == nullptr || names == nullptr) return;
    const uint32_t all = count == 32 ? 0xFFFFFFFFu : (1u << count) - 1u;
    uint32_t found = 0;
    for (pugi::xml_attribute a = pugi::xml_node(node_).first_attribute(); a && found != all; a = a.next_attribute()) {
        const char* name = a.name();
        for (int i = 0; i < count; ++i) {
            const uint32_t bit = 1u << i;
            if ((found & bit) == 0 && names[i] != nullptr && SameName(name, names[i])) {
                values[i] = a.value();
                found |= bit;
            }
        }
    }
}

CElementNode CElementNode::GetFirstChild() const {
    if (node_ == nullptr) return CElementNode();
    return CElementNode(tree_, NextElement(pugi::xml_node(node_).first_child()).internal_object());
}

CElementNode CElementNode::GetNextSibling() const {
    if (node_ == nullptr) return CElementNode();
    return CElementNode(tree_, NextElement(pugi::xml_node(node_).next_sibling()).internal_object());
}

void CElementNode::RemoveChildren() {
    if (node_ != nullptr) pugi::xml_node(node_).remove_children();
}
