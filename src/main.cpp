#include "watch/watch_loop.h"

int main(int, char **)
{
	watch_loop();
}
