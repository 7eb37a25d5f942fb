// h5_numbers.h - the two number readers behind parse_number (h5_cells.cc):
// number_at, which finds a number's end while it reads its digits, and
// parse_number_exact, from_chars on a delimited text, which number_at
// hands the texts it does not read and is tested against.
#ifndef KORVEL_H5_NUMBERS_H
#define KORVEL_H5_NUMBERS_H

// Reads the number text at p (before `e`) in the shapes the plug-in
// prints, "-?D+", "-?D+.D+", "-?D+.D+e[+-]D+" and "-?D+e[+-]D+", up to
// the first byte that cannot continue it, whose position is returned.
// The value is parse_number_exact's on [p, returned end) with `forms`,
// bit for bit. Null when the text has another shape, a form not in
// `forms`, or a value whose reading needs from_chars (very large or very
// small magnitudes, many digits): the caller then delimits the text and
// asks parse_number_exact.
const char *number_at(const char *p, const char *e, unsigned forms, float *out, bool *int_form);

// The number text [b, e) of one of `forms` as parse_number reads it, the
// slow way: its printf form told from its characters, then parse_i32 (the
// integer form) or from_chars.
bool parse_number_exact(const char *b, const char *e, unsigned forms, float *out, bool *int_form);

#endif
