// Threads, events, thread message queues with timers, and the reader-writer lock.
#pragma once

#include "comrt/event.h"
#include "comrt/message_queue.h"
#include "comrt/rw_lock.h"
#include "comrt/worker_thread.h"
