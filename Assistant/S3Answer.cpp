#include "S3Answer.h"

#include <glib.h>

#include <set>

namespace {
struct Reading {
    S3Answer* answer;
    std::string element;       // the innermost open element
    std::set<std::string> closed;  // names whose first occurrence has ended
};

void StartElement(GMarkupParseContext*, const gchar* name, const gchar**, const gchar**, gpointer data, GError**)
{
    auto* reading = static_cast<Reading*>(data);
    if (reading->answer->root.empty())
        reading->answer->root = name;
    reading->element = name;
    reading->answer->texts.emplace(name, std::string());
}

void EndElement(GMarkupParseContext*, const gchar* name, gpointer data, GError**)
{
    auto* reading = static_cast<Reading*>(data);
    reading->closed.insert(name);
    reading->element.clear();
}

void Text(GMarkupParseContext*, const gchar* text, gsize length, gpointer data, GError**)
{
    auto* reading = static_cast<Reading*>(data);
    if (!reading->element.empty() && !reading->closed.count(reading->element))
        reading->answer->texts[reading->element].append(text, length);
}
}  // namespace

std::string S3Answer::Text(const std::string& name) const
{
    const auto found = texts.find(name);
    return found == texts.end() ? std::string() : found->second;
}

bool ParseS3Answer(const std::string& xml, S3Answer* answer)
{
    *answer = S3Answer();
    Reading reading{answer, {}, {}};
    const GMarkupParser parser = {&StartElement, &EndElement, &Text, nullptr, nullptr};
    GMarkupParseContext* context = g_markup_parse_context_new(&parser, G_MARKUP_DEFAULT_FLAGS, &reading, nullptr);
    const bool ok = g_markup_parse_context_parse(context, xml.data(), static_cast<gssize>(xml.size()), nullptr) &&
                    g_markup_parse_context_end_parse(context, nullptr) && !answer->root.empty();
    g_markup_parse_context_free(context);
    return ok;
}

std::string S3FailureReason(long status, const std::string& body)
{
    std::string reason = "The server answered with status " + std::to_string(status);
    S3Answer answer;
    if (!ParseS3Answer(body, &answer) || answer.root != "Error")
        return reason;
    const std::string code = answer.Text("Code");
    const std::string message = answer.Text("Message");
    if (!code.empty())
        reason += ": " + code;
    if (!message.empty())
        reason += ": " + message;
    return reason;
}
