#include "front/settings.hpp"

int
main(int argc, char *argv[])
{
	safe_start();
	read_options(argc, argv);
	return run();
}
