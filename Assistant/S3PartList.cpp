#include "S3PartList.h"

#include <glib.h>

#include <cstdlib>

namespace {
struct Reading {
    S3PartList* list = nullptr;
    bool listParts = false;
    std::string element;
    std::string text;
    std::string number;  // of the part being read
    std::string etag;
};

void StartElement(GMarkupParseContext*, const gchar* name, const gchar**, const gchar**, gpointer data, GError**)
{
    auto* reading = static_cast<Reading*>(data);
    reading->listParts |= reading->element.empty() && g_str_equal(name, "ListPartsResult");
    reading->element = name;
    reading->text.clear();
}

void EndElement(GMarkupParseContext*, const gchar* name, gpointer data, GError**)
{
    auto* reading = static_cast<Reading*>(data);
    const std::string element = name;
    if (element == "PartNumber")
        reading->number = reading->text;
    else if (element == "ETag")
        reading->etag = reading->text;
    else if (element == "IsTruncated")
        reading->list->truncated = reading->text == "true";
    else if (element == "NextPartNumberMarker")
        reading->list->nextMarker = static_cast<unsigned>(strtoul(reading->text.c_str(), nullptr, 10));
    else if (element == "Part") {
        std::string etag;
        for (const char c : reading->etag) {
            if (c != '"' && !g_ascii_isspace(c))
                etag += c;
        }
        reading->list->etags[static_cast<unsigned>(strtoul(reading->number.c_str(), nullptr, 10))] = etag;
    }
    reading->text.clear();
}

void Text(GMarkupParseContext*, const gchar* text, gsize length, gpointer data, GError**)
{
    static_cast<Reading*>(data)->text.append(text, length);
}
}  // namespace

bool ParseS3PartList(const std::string& xml, S3PartList* list)
{
    *list = S3PartList();
    Reading reading;
    reading.list = list;
    const GMarkupParser parser = {&StartElement, &EndElement, &Text, nullptr, nullptr};
    GMarkupParseContext* context = g_markup_parse_context_new(&parser, G_MARKUP_DEFAULT_FLAGS, &reading, nullptr);
    const bool ok = g_markup_parse_context_parse(context, xml.data(), static_cast<gssize>(xml.size()), nullptr) &&
                    g_markup_parse_context_end_parse(context, nullptr) && reading.listParts;
    g_markup_parse_context_free(context);
    return ok && (!list->truncated || list->nextMarker > 0);
}
