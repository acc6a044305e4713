#pragma once
// The interrupt hook of the library's ZeroMQ loops: every loop that waits on a ZeroMQ
// poller calls it after each wait.
//
// CZMQ's own handler, when one is installed (the library switches it off, aZSys.h, but
// a program may install it itself), only sets zsys_interrupted. The first loop to notice
// hands the interrupt on: it removes CZMQ's handler, which puts back whatever handled
// SIGINT before CZMQ, and sends SIGINT to the process once. Later calls raise nothing.
void zSysInterruptHandler_process();
