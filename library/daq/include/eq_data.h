// eq_data.h - EqData, the reader's generic value container.
//
// The plug-in only asks a container for its type code and the code's name;
// containers are made by zarn_daq_to_eqdata() and belong to the reader.
#ifndef ZARN_EQ_DATA_H
#define ZARN_EQ_DATA_H

class EqData {
  public:
    // Type code of the held value.
    int type();
    // Name of a type code ("INT", "FLOAT", ...); never null.
    const char *type_string(int code);

    int type_code;  // reader's own field: the held type code
};

#endif
