#pragma once

// Reports the framebuffer as tavrin's fill would meet it: the device, its
// geometry, whether the driver grants tavrin's mapping, and what the fill
// would paint. Maps read-only and writes nothing. Returns 1 when the device
// opens read-write.
int check_framebuffer();
