#include "nuqFieldSetup.h"

#include "nuqTransformFields.h"

bool CreateFieldTransformFromImages(nuqTransformBase *&entry, int dimension,
                                    const char *const *names) {
  delete entry;
  nuqTransformFields *field = new nuqTransformFields();
  entry = field;
  field->SetDimension(dimension);
  return field->SetTransformFieldsByFileNameList(names);
}
