#include "WebScriptBridge.h"

#include <cstdarg>
#include <cstdio>

namespace {
// An exception a call left in its context must not surface in page script that runs later.
void DropException(JSCContext* context)
{
    if (jsc_context_get_exception(context))
        jsc_context_clear_exception(context);
}
}  // namespace

WebScriptObject WebScriptObject::FromValue(JSCValue* value)
{
    WebScriptObject object;
    if (value && jsc_value_is_object(value))
        object.mValue = JSC_VALUE(g_object_ref(value));
    return object;
}

WebScriptObject::WebScriptObject(const WebScriptObject& other)
    : mValue(other.mValue ? JSC_VALUE(g_object_ref(other.mValue)) : nullptr)
{
}

WebScriptObject& WebScriptObject::operator=(const WebScriptObject& other)
{
    if (this != &other) {
        JSCValue* previous = mValue;
        mValue = other.mValue ? JSC_VALUE(g_object_ref(other.mValue)) : nullptr;
        if (previous)
            g_object_unref(previous);
    }
    return *this;
}

WebScriptObject::~WebScriptObject()
{
    if (mValue)
        g_object_unref(mValue);
}

std::string WebScriptObject::description() const
{
    if (!mValue)
        return "nil";
    return jsc_value_is_function(mValue) ? "[object Function]" : "[object Object]";
}

void WebScriptObject::callWebScriptMethod(const char* name, const std::vector<ScriptArgument>& arguments) const
{
    if (!mValue)
        return;
    // The call may end in script that drops the last other reference to the object.
    WebScriptObject self(*this);
    JSCContext* context = jsc_value_get_context(mValue);
    std::vector<JSCValue*> parameters;
    parameters.reserve(arguments.size());
    for (const ScriptArgument& argument : arguments)
        parameters.push_back(argument.isText ? jsc_value_new_string(context, argument.text.c_str())
                                             : jsc_value_new_number(context, argument.number));
    JSCValue* result =
        jsc_value_object_invoke_methodv(mValue, name, static_cast<guint>(parameters.size()), parameters.data());
    DropException(context);
    if (result)
        g_object_unref(result);
    for (JSCValue* parameter : parameters)
        g_object_unref(parameter);
}

bool ScriptValueToText(JSCValue* value, std::string* text)
{
    if (!value || jsc_value_is_undefined(value) || jsc_value_is_null(value))
        return false;
    JSCContext* context = jsc_value_get_context(value);
    char* converted = jsc_value_to_string(value);
    const bool threw = jsc_context_get_exception(context) != nullptr;
    DropException(context);
    if (!converted || threw) {
        g_free(converted);
        return false;
    }
    text->assign(converted);
    g_free(converted);
    return true;
}

void NSLog(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    char* line = g_strdup_vprintf(format, arguments);
    va_end(arguments);
    fprintf(stderr, "%s\n", line);
    fflush(stderr);
    g_free(line);
}
