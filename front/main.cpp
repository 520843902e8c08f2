#include "front/front.h"
#include "platform/platform.h"

int main(int argc, char **argv) {
    RefuseWow64();
    RunInstaller(argc, argv);
}
