"""korvel-look: a static HTML report of a run from the HDF5 file of korvel-h5.

Modules, one per subsystem:
  cli       command line, order of the work, exit status
  runfile   opening and checking the file, channel table, attributes,
            chunk-aligned reads
  selection the channels and the rows shown (--channels, --events, --ids)
  bins      event blocks and the reductions kept per block
  progress  the progress line on standard error
  summary   run summary and the rows cut short
  axis      the event axis of the figures (event ids), saving figures
  presence  the channels x events image of presence states
  figures   value, name-value, spectrum and camera figures
  page      the HTML page
"""
