#include "driver/driver.hpp"

int main(int argc, char** argv) { return obsq::main_entry(argc, argv); }
