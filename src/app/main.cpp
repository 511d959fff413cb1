#include "app/Startup.h"

int main(int argc, char** argv) {
    return korvex::app::runApplication(argc, argv);
}
