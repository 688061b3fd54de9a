// DkimCanonical: the header side of DKIM signing (RFC 6376): a header
// block split into its fields, the relaxed canonical form of a field
// (3.4.2), and the choice of the fields a signature covers (5.4.2: the
// last instance of a name first).
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct DkimField {
    std::string name;      // as written, without blanks
    std::string_view raw;  // the whole field: its name, the value with its folds, the final CR LF
};

// The fields of a header block (whole lines, without the empty line that
// ends it). A stray continuation line before the first field is skipped.
std::vector<DkimField> SplitDkimFields(std::string_view header);

// "name:value" in relaxed form, without a line break: the name in lower
// case, the value unfolded, runs of blanks as one space, blanks around the
// colon and at the value's ends removed.
std::string RelaxedDkimField(std::string_view field);

// The canonical data of the fields named in names (lower case) that the
// header has, each instance once, bottom-up per name; "from" always counts.
// signedNames gets the h= list, colon separated, in the same order.
std::string DkimSignedFields(const std::vector<DkimField>& fields, const std::vector<std::string>& names,
                             std::string& signedNames);
