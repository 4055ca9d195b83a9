// English dialog templates of the resource library (Qt Designer .ui text),
// by number. The templates are the .ui files beside this one.
namespace {

struct Template {
    int number;
    const char* text;
};

constexpr Template kDialogs[] = {
#include "DialogTemplates.inc"
};

}  // namespace

extern "C" __attribute__((visibility("default"))) const char* varnock_resource_dialog(int number) {
    for (const Template& t : kDialogs) {
        if (t.number == number) return t.text;
    }
    return nullptr;
}
