// The XML library the application imports: a document, node handles and
// sources. This is a public header; pugixml, which does the parsing, is only
// forward-declared here.
//
// Node handles are small copyable values. A handle may designate no node (a
// null handle): every lookup on a null handle gives a null handle, and the
// value of a null handle is the empty string, so a chain of lookups such as
//   event("Segment")("OnAir")("Date")["month"].GetValue()
// never fails, whatever is missing.
//
// Ownership: a document's tree is shared by the CXMLDoc that parsed it and by
// every handle into it, and lives until the last of them is gone, so a handle
// never outlives its tree. Parsing again gives the CXMLDoc a new tree and
// leaves handles into the old one valid.
//
// Threads: one tree is used by one thread at a time (the GUI thread in the
// application). Handles to different trees may be used on different threads.
#pragma once

#include <memory>

#include "external/String.h"

namespace pugi {
class xml_document;
struct xml_node_struct;
struct xml_attribute_struct;
}  // namespace pugi

// Where a document comes from. Sources are read by CXMLDoc::Parse.
class CXMLSrc {
public:
    enum SourceType { FileSource = 1, MemorySource = 2 };

    virtual ~CXMLSrc() = default;
    virtual int Type() const = 0;
    // Releases what the source holds; a closed source parses as missing input.
    virtual void Close() = 0;

private:
    friend class CXMLDoc;
    // Parses the whole source into doc; true only when fully successful.
    virtual bool LoadInto(pugi::xml_document& doc) const = 0;
};

// A file on disk, read when the document is parsed. Only a regular file is
// read; anything else (missing, a folder, a FIFO) is missing input.
class CFileXMLSrc : public CXMLSrc {
public:
    // Remembers the path; true when it names a readable regular file now.
    bool SetFilePath(const String& path);
    int Type() const override { return FileSource; }
    void Close() override;

private:
    bool LoadInto(pugi::xml_document& doc) const override;
    String path_;
};

// XML text held in memory. The text is copied, so the caller's String may
// change afterwards; its whole Length() is parsed.
class CMemXMLSrc : public CXMLSrc {
public:
    void SetMemPtr(const String& text);
    int Type() const override { return MemorySource; }
    void Close() override;

private:
    bool LoadInto(pugi::xml_document& doc) const override;
    String text_;
};

class CAttributeNode;
class CElementNode;

// Common base of the node handles.
class CBaseNode {
public:
    CBaseNode() = default;
    CBaseNode(const CBaseNode&) = default;
    CBaseNode& operator=(const CBaseNode&) = default;
    CBaseNode(CBaseNode&&) noexcept = default;
    CBaseNode& operator=(CBaseNode&&) noexcept = default;
    virtual ~CBaseNode() = default;

    // True for a handle that designates no node; ends every sibling walk.
    virtual bool IsNull() const = 0;
    // An element's text (its first text child) or an attribute's value; the
    // empty string for a null handle.
    virtual String GetValue() const = 0;

protected:
    explicit CBaseNode(std::shared_ptr<pugi::xml_document> tree) : tree_(std::move(tree)) {}
    // Keeps the tree alive; null for a null handle.
    std::shared_ptr<pugi::xml_document> tree_;
};

class CAttributeNode : public CBaseNode {
public:
    CAttributeNode() = default;
    bool IsNull() const override { return attr_ == nullptr; }
    String GetValue() const override;
    // The attribute's value as a C string ("" for a null handle); valid while
    // this handle lives and the attribute is not changed.
    const char* GetValuePtr() const;

private:
    friend class CElementNode;
    CAttributeNode(const std::shared_ptr<pugi::xml_document>& tree, pugi::xml_attribute_struct* attr);
    pugi::xml_attribute_struct* attr_ = nullptr;
};

class CElementNode : public CBaseNode {
public:
    CElementNode() = default;
    bool IsNull() const override { return node_ == nullptr; }
    String GetValue() const override;

    // The first child element of that name.
    CElementNode operator()(const char* name) const;
    // The attribute of that name.
    CAttributeNode operator[](const char* name) const;
    CAttributeNode GetAttribute(const String& name) const;

    // Reads up to 32 attributes in one pass over the element: values[i]
    // becomes the value of the first attribute named names[i], or "" when
    // there is none or the handle is null. The pointers stay valid while the
    // tree lives and its attributes are not changed (hold a handle into it).
    void GetAttributeValues(const char* const* names, const char** values, int count) const;

    // Walks element children only; text, comments and processing
    // instructions are skipped.
    CElementNode GetFirstChild() const;
    CElementNode GetNextSibling() const;

    // The element's tag name ("" for a null handle).
    String GetName() const;

    // Removes and frees every child node (elements, text, comments). Handles
    // into the removed nodes must not be used afterwards; handles to this
    // element and to the rest of the tree stay valid.
    void RemoveChildren();

    friend bool operator==(const CElementNode& a, const CElementNode& b) { return a.node_ == b.node_; }

private:
    friend class CXMLDoc;
    CElementNode(const std::shared_ptr<pugi::xml_document>& tree, pugi::xml_node_struct* node);
    pugi::xml_node_struct* node_ = nullptr;
};

class CXMLDoc {
public:
    // Reads the whole source into a new tree. Missing input, input that does
    // not parse completely, and input with no or several document elements
    // give a tree whose root is null, and false. Handles into an earlier
    // tree stay valid. DOCTYPEs are skipped and no entity but the five
    // predefined ones and character references is expanded.
    bool Parse(CXMLSrc& source);

    // The document element; a null handle before a successful Parse.
    CElementNode GetRootElement() const;

private:
    std::shared_ptr<pugi::xml_document> tree_;
};
