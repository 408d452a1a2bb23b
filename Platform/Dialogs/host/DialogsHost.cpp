// The host toolkit: dialogs as messages to the host application, and the host's answers.
#include "HostDialogs.h"

const char kHostOpenPanelMessage[] = "qiravel.dialogs.open-panel";
const char kHostAlertMessage[] = "qiravel.dialogs.alert";

namespace {
const char kOpenPanelRequestType[] = "(ayayaybbbb)";
const char kOpenPanelResultType[] = "(bbaayay)";
const char kAlertRequestType[] = "(ayayiaay)";
const char kAlertResultType[] = "(i)";

GVariant* Bytes(const std::string& text) { return g_variant_new_bytestring(text.c_str()); }

GVariant* ByteStrings(const std::vector<std::string>& texts)
{
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE_BYTESTRING_ARRAY);
    for (const std::string& text : texts)
        g_variant_builder_add_value(&builder, Bytes(text));
    return g_variant_builder_end(&builder);
}

std::string ChildText(GVariant* tuple, gsize index)
{
    GVariant* child = g_variant_get_child_value(tuple, index);
    std::string text = HostMessageText(child);
    g_variant_unref(child);
    return text;
}

std::vector<std::string> ChildTexts(GVariant* tuple, gsize index)
{
    GVariant* array = g_variant_get_child_value(tuple, index);
    std::vector<std::string> texts;
    for (gsize i = 0; i < g_variant_n_children(array); ++i)
        texts.push_back(ChildText(array, i));
    g_variant_unref(array);
    return texts;
}

bool ChildBool(GVariant* tuple, gsize index)
{
    GVariant* child = g_variant_get_child_value(tuple, index);
    const bool value = g_variant_get_boolean(child);
    g_variant_unref(child);
    return value;
}

int ChildInt(GVariant* tuple, gsize index)
{
    GVariant* child = g_variant_get_child_value(tuple, index);
    const int value = g_variant_get_int32(child);
    g_variant_unref(child);
    return value;
}

bool HasType(GVariant* value, const char* type)
{
    return value && g_variant_is_of_type(value, G_VARIANT_TYPE(type));
}

class HostDialogToolkit : public DialogToolkit {
public:
    HostDialogToolkit(HostDialogTransport transport, DialogToolkitFactory makeFallback)
        : mTransport(std::move(transport)), mMakeFallback(std::move(makeFallback))
    {
    }

    bool HasApplication() const override { return mHostAnswers || Fallback().HasApplication(); }

    DialogWindow MainWindow() const override { return mHostAnswers ? HostWindow() : Fallback().MainWindow(); }

    OpenPanelResult RunOpenPanel(const OpenPanelRequest& request) override
    {
        GVariant* parameters =
            g_variant_new("(@ay@ay@aybbbb)", Bytes(request.title), Bytes(request.message), Bytes(request.prompt),
                          request.canChooseFiles, request.canChooseDirectories, request.allowsMultipleSelection,
                          request.canCreateDirectories);
        GVariant* reply = nullptr;
        if (!Ask(kHostOpenPanelMessage, parameters, kOpenPanelResultType, &reply))
            return Fallback().RunOpenPanel(FreeStanding(request));
        OpenPanelResult result;
        result.hitOK = ChildBool(reply, 0);
        result.hitCancel = ChildBool(reply, 1);
        result.filenames = ChildTexts(reply, 2);
        result.directory = ChildText(reply, 3);
        g_variant_unref(reply);
        return result;
    }

    AlertResult RunAlert(const AlertRequest& request) override
    {
        GVariant* parameters = g_variant_new("(@ay@ayi@aay)", Bytes(request.messageText),
                                             Bytes(request.informativeText), static_cast<int>(request.style),
                                             ByteStrings(request.buttons));
        GVariant* reply = nullptr;
        if (!Ask(kHostAlertMessage, parameters, kAlertResultType, &reply))
            return Fallback().RunAlert(request);
        AlertResult result;
        const int pressed = ChildInt(reply, 0);
        if (pressed >= 0 && static_cast<size_t>(pressed) < request.buttons.size())
            result.pressedButton = pressed;
        g_variant_unref(reply);
        return result;
    }

private:
    DialogToolkit& Fallback() const
    {
        if (!mFallback) {
            mFallback = mMakeFallback ? mMakeFallback() : nullptr;
            if (!mFallback)
                mFallback = MakeNoDialogToolkit();
        }
        return *mFallback;
    }

    // Stands for the host's window, which only the host can name.
    DialogWindow HostWindow() const
    {
        return reinterpret_cast<DialogWindow>(const_cast<HostDialogToolkit*>(this));
    }

    // Without the host's window the dialog stands free, above every other window.
    OpenPanelRequest FreeStanding(const OpenPanelRequest& request) const
    {
        OpenPanelRequest local = request;
        if (!local.parent || local.parent == HostWindow()) {
            local.parent = nullptr;
            local.shieldingLevel = true;
        }
        return local;
    }

    // True with the host's reply in *reply; false when the dialog should run here instead.
    bool Ask(const char* name, GVariant* parameters, const char* replyType, GVariant** reply)
    {
        g_variant_ref_sink(parameters);
        if (!mHostAnswers) {
            g_variant_unref(parameters);
            return false;
        }
        const HostReply answer = mTransport(name, parameters, reply);
        g_variant_unref(parameters);
        if (answer == HostReply::unhandled)
            mHostAnswers = false;
        if (answer != HostReply::answered)
            return false;
        if (!HasType(*reply, replyType)) {
            g_warning("host dialogs: the host answered %s with a reply of type %s; the dialog runs here", name,
                      *reply ? g_variant_get_type_string(*reply) : "(none)");
            if (*reply)
                g_variant_unref(*reply);
            *reply = nullptr;
            return false;
        }
        return true;
    }

    HostDialogTransport mTransport;
    DialogToolkitFactory mMakeFallback;
    mutable std::unique_ptr<DialogToolkit> mFallback;
    bool mHostAnswers = true;
};
}  // namespace

std::string HostMessageText(GVariant* bytes)
{
    if (!bytes || !g_variant_is_of_type(bytes, G_VARIANT_TYPE_BYTESTRING))
        return std::string();
    gsize size = 0;
    const char* data = static_cast<const char*>(g_variant_get_fixed_array(bytes, &size, 1));
    const std::string text(data ? data : "", data ? size : 0);
    return text.substr(0, text.find('\0'));
}

std::unique_ptr<DialogToolkit> MakeHostDialogToolkit(HostDialogTransport transport, DialogToolkitFactory makeFallback)
{
    return std::make_unique<HostDialogToolkit>(std::move(transport), std::move(makeFallback));
}

GVariant* AnswerHostDialogMessage(const char* name, GVariant* parameters, DialogToolkit& toolkit, DialogWindow window)
{
    if (!name)
        return nullptr;
    const std::string message = name;
    if (message == kHostOpenPanelMessage && HasType(parameters, kOpenPanelRequestType)) {
        OpenPanelRequest request;
        request.title = ChildText(parameters, 0);
        request.message = ChildText(parameters, 1);
        request.prompt = ChildText(parameters, 2);
        request.canChooseFiles = ChildBool(parameters, 3);
        request.canChooseDirectories = ChildBool(parameters, 4);
        request.allowsMultipleSelection = ChildBool(parameters, 5);
        request.canCreateDirectories = ChildBool(parameters, 6);
        request.parent = window;
        request.shieldingLevel = window == nullptr;
        const OpenPanelResult result = toolkit.RunOpenPanel(request);
        return g_variant_new("(bb@aay@ay)", result.hitOK, result.hitCancel, ByteStrings(result.filenames),
                             Bytes(result.directory));
    }
    if (message == kHostAlertMessage && HasType(parameters, kAlertRequestType)) {
        AlertRequest request;
        request.messageText = ChildText(parameters, 0);
        request.informativeText = ChildText(parameters, 1);
        const int style = ChildInt(parameters, 2);
        request.style = style == kInformationalAlertStyle || style == kCriticalAlertStyle ? static_cast<AlertStyle>(style)
                                                                                         : kWarningAlertStyle;
        request.buttons = ChildTexts(parameters, 3);
        return g_variant_new("(i)", toolkit.RunAlert(request).pressedButton);
    }
    return nullptr;
}
