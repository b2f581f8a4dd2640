"""The end-to-end benchmark of tessello: every figure measured from Python,
beside an anchor (numpy, a streaming read, faiss, hnswlib) in the same run.
bench/run.py is the entry point."""
