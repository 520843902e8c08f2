#include "front/front.h"

int main(int argc, char **argv) {
    RunInstaller(argc, argv);
}
