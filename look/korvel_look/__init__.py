"""korvel-look: a static HTML report of a run from the HDF5 file of korvel-h5.

Modules, one per subsystem:
  cli       command line, order of the work, exit status
  runfile   opening and checking the file, channel table, chunk-aligned reads
  bins      event blocks and the reductions kept per block
  progress  the progress line on standard error
  summary   run summary and per-channel counts of presence states
  presence  the channels x events image of presence states
  figures   value, name-value, spectrum and camera figures
  page      the HTML page
"""
