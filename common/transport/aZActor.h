#pragma once
// How the library's own CZMQ actors end (the link server's broker, worker and multicast
// responder, the client stream's broker).
//
// The stop protocol: the creator sends the actor a signal on its pipe (status 0), which
// ends the actor's loop, waits for its answer, both waits bounded, then destroys the
// actor, which waits for its thread.
//
// The destroy joins the actor's thread inside CZMQ, where ThreadSanitizer cannot see it:
// the actor's last step (aZActor_Ends) and the creator's step after the join
// (aZActor_Stop, or aZActor_Joined after a plain zactor_destroy) make it visible, so that
// freeing what the actor used is not taken for a race.
#include <czmq.h>

// Stops the actor and clears the pointer; nothing for a null actor.
void aZActor_Stop(zactor_t** actor);
// An actor's last step: after its last use of anything its creator frees, before its
// final signal.
void aZActor_Ends();
// After zactor_destroy of an actor that ended by itself (one that failed to start).
void aZActor_Joined();
