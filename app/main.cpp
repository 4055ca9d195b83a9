#include "app/Application.h"

int main(int argc, char** argv) {
    varnock::Application app;
    return app.InitInstance(argc, argv);
}
