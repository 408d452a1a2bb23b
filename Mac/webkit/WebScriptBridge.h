// What the plug-in view needs of its host's script interface, over the JavaScriptCore GLib API:
// held script objects that can be called back, script values as the view's argument types, and
// the console log.
#pragma once

#include <jsc/jsc.h>

#include <map>
#include <string>
#include <vector>

// The arguments the browser creates a view with: the element's attributes.
typedef std::map<std::string, std::string> PluginArguments;

// One argument of a call into script: a number or a text.
struct ScriptArgument {
    ScriptArgument(int number) : isText(false), number(number) {}
    ScriptArgument(const char* text) : isText(true), text(text) {}
    bool isText;
    int number = 0;
    std::string text;
};

// A script object held by native code (retained for as long as a handle to it exists). An empty
// handle stands for nil.
class WebScriptObject {
public:
    WebScriptObject() = default;
    // The object given, or nil for anything that is not an object (null, undefined, a number...).
    static WebScriptObject FromValue(JSCValue* value);
    WebScriptObject(const WebScriptObject& other);
    WebScriptObject& operator=(const WebScriptObject& other);
    ~WebScriptObject();

    explicit operator bool() const { return mValue != nullptr; }
    // "[object Function]" for a function, "[object Object]" for another object, "nil" for none.
    std::string description() const;
    // Looks up the method by name on the object and calls it with the object as this and the
    // arguments in order; its result and any exception it throws are dropped.
    void callWebScriptMethod(const char* name, const std::vector<ScriptArgument>& arguments) const;

private:
    JSCValue* mValue = nullptr;
};

// A script value as text: a string as its UTF-8 form, null or undefined as none (false), anything
// else as its script conversion to a string (false when that throws).
bool ScriptValueToText(JSCValue* value, std::string* text);

// One line on the console log (standard error), formatted as printf does.
void NSLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
