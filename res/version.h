// Version of the executable, shared by the version resource and anything
// else that reports it. Plain macros only: the resource compiler reads this.
#ifndef LINKBATCH_VERSION_H
#define LINKBATCH_VERSION_H

#define LINKBATCH_VERSION_MAJOR 0
#define LINKBATCH_VERSION_MINOR 8
#define LINKBATCH_VERSION_PATCH 0
#define LINKBATCH_VERSION_BUILD 0
#define LINKBATCH_VERSION_STRING "0.8.0.0"

#endif
