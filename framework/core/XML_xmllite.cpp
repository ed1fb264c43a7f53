// The text form of XMLElement on Windows: the system's XmlLite reads it (document type
// declarations refused), and a small writer writes it in the same layout as on Linux (an XML
// declaration, two-blank indents, "<name />" for an element without content).
#include <objbase.h>
#include <shlwapi.h>
#include <xmllite.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

#include "framework/core/XML.h"
#include "platform/com/Bstr.h"

namespace core {

namespace {

// XmlLite's reader factory. The import library does not ship with the cross tools, so the
// entry point is taken from the system's xmllite.dll, which stays loaded.
using CreateXmlReaderFn = HRESULT(WINAPI*)(REFIID, void**, IMalloc*);

CreateXmlReaderFn readerFactory() {
    static CreateXmlReaderFn fn = [] {
        HMODULE module = LoadLibraryW(L"xmllite.dll");
        return module ? reinterpret_cast<CreateXmlReaderFn>(
                            reinterpret_cast<void*>(GetProcAddress(module, "CreateXmlReader")))
                      : nullptr;
    }();
    return fn;
}

template <class T>
struct Released {
    T* p = nullptr;
    ~Released() {
        if (p)
            p->Release();
    }
};

std::string utf8(const WCHAR* text, UINT length) {
    return platform::com::utf16ToUtf8(
        platform::com::OleStringView(text ? text : L"", text ? length : 0));
}

void escape(std::string& out, const std::string& text, bool attribute) {
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                if (attribute) {
                    out += "&quot;";
                } else {
                    out += c;
                }
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 && c != '\t' &&
                    (attribute || (c != '\n' && c != '\r'))) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "&#%d;", c);
                    out += buf;
                } else {
                    out += c;
                }
        }
    }
}

void write(std::string& out, const XMLElement& e, int depth) {
    out.append(static_cast<std::size_t>(depth) * 2, ' ');
    out += '<';
    out += e.getName();
    for (auto& a : e.getAttributes()) {
        out += ' ';
        out += a.first;
        out += "=\"";
        escape(out, a.second, true);
        out += '"';
    }
    if (e.getText().empty() && e.getChildren().empty()) {
        out += " />\n";
        return;
    }
    out += '>';
    escape(out, e.getText(), false);
    if (!e.getChildren().empty()) {
        out += '\n';
        for (auto& c : e.getChildren())
            write(out, c, depth + 1);
        out.append(static_cast<std::size_t>(depth) * 2, ' ');
    }
    out += "</";
    out += e.getName();
    out += ">\n";
}

bool parse(const std::string& xml, XMLElement& out, std::string& error) {
    CreateXmlReaderFn create = readerFactory();
    if (!create) {
        error = "XmlLite is not available";
        return false;
    }
    Released<IStream> stream;
    stream.p =
        SHCreateMemStream(reinterpret_cast<const BYTE*>(xml.data()), static_cast<UINT>(xml.size()));
    Released<IXmlReader> reader;
    if (!stream.p ||
        FAILED(create(__uuidof(IXmlReader), reinterpret_cast<void**>(&reader.p), nullptr))) {
        error = "cannot make an XML reader";
        return false;
    }
    reader.p->SetProperty(XmlReaderProperty_DtdProcessing, DtdProcessing_Prohibit);
    HRESULT hr = reader.p->SetInput(stream.p);
    std::vector<XMLElement> open;  // the elements whose end has not come yet
    bool haveRoot = false;
    XmlNodeType type;
    while (SUCCEEDED(hr) && (hr = reader.p->Read(&type)) == S_OK) {
        const WCHAR* text = nullptr;
        UINT length = 0;
        switch (type) {
            case XmlNodeType_Element: {
                if (haveRoot && open.empty()) {
                    hr = E_FAIL;
                    break;
                }
                XMLElement e;
                reader.p->GetQualifiedName(&text, &length);
                e.setName(utf8(text, length));
                const bool empty = reader.p->IsEmptyElement();
                for (HRESULT a = reader.p->MoveToFirstAttribute(); a == S_OK;
                     a = reader.p->MoveToNextAttribute()) {
                    const WCHAR* value = nullptr;
                    UINT valueLength = 0;
                    reader.p->GetQualifiedName(&text, &length);
                    reader.p->GetValue(&value, &valueLength);
                    e.setAttribute(utf8(text, length), utf8(value, valueLength));
                }
                reader.p->MoveToElement();
                open.push_back(std::move(e));
                if (!empty)
                    break;
                [[fallthrough]];
            }
            case XmlNodeType_EndElement: {
                XMLElement done = std::move(open.back());
                open.pop_back();
                if (open.empty()) {
                    out = std::move(done);
                    haveRoot = true;
                } else {
                    open.back().addChild(std::move(done));
                }
                break;
            }
            case XmlNodeType_Text:
            case XmlNodeType_CDATA:
                if (!open.empty()) {
                    reader.p->GetValue(&text, &length);
                    open.back().setText(open.back().getText() + utf8(text, length));
                }
                break;
            default:
                break;
        }
    }
    if (FAILED(hr) || !haveRoot) {
        UINT line = 0, position = 0;
        reader.p->GetLineNumber(&line);
        reader.p->GetLinePosition(&position);
        char buf[96];
        if (FAILED(hr)) {
            std::snprintf(buf, sizeof buf, "XML error 0x%08lX at line %u, position %u",
                          static_cast<unsigned long>(hr), line, position);
        } else {
            std::snprintf(buf, sizeof buf, "no root element");
        }
        error = buf;
        return false;
    }
    return true;
}

// Parses xml into out (left as it was on failure); the error text gets the prefix.
bool parseInto(const std::string& xml, XMLElement& out, std::string* error,
               const std::string& prefix) {
    std::string message;
    XMLElement parsed;
    if (!parse(xml, parsed, message)) {
        if (error)
            *error = prefix + message;
        return false;
    }
    out = std::move(parsed);
    return true;
}

}  // namespace

std::string XMLElement::toString() const {
    std::string out = "<?xml version=\"1.0\"?>\n";
    write(out, *this, 0);
    return out;
}

bool XMLElement::fromString(const std::string& xml, XMLElement& out, std::string* error) {
    return parseInto(xml, out, error, "");
}

bool XMLElement::save(const std::string& path) const {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << toString();
    return static_cast<bool>(file.flush());
}

bool XMLElement::load(const std::string& path, XMLElement& out, std::string* error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        if (error)
            *error = path + ": cannot be opened";
        return false;
    }
    std::string xml((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return parseInto(xml, out, error, path + ": ");
}

}  // namespace core
