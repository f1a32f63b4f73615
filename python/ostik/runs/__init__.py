"""Many trace files judged or measured: in this process, in worker processes, into mergeable accumulators."""
