#include "tool/CommandLine.h"

int main(int argc, char** argv) {
    return android::CommandLine::run(argc, argv);
}
