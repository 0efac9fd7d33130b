#include "front/settings.hpp"

int
main(int argc, char *argv[])
{
	read_options(argc, argv);
	return run();
}
