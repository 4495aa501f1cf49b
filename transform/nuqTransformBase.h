// Root of every spatial transform of the toolkit.
//
// Conventions shared by all transform classes:
// - A point is float[4] (x, y, z, t). World points are millimetres, grid
//   points continuous voxel indices; only the first GetDimension() entries
//   are significant.
// - A Jacobian is float[16], row-major, element (r, c) = d out_r / d in_c,
//   identity in rows and columns at or beyond the dimension.
// - Parameters are an indexed float vector (GetNumberOfParameters,
//   GetParameterValue, SetParameterValue); the algebra below (sums, scaling,
//   dot products) works through these three operations only, so it applies
//   to every concrete class unless that class overrides it.
// - Images handed to SetImages are never owned by the transform.
//
// Transform text files start with the common header
// "#dimension#\n%i\n#one to one#\n%i\n" and are read with the line rules of
// ReadTransformLine below.
#pragma once

#include <istream>
#include <string>

template <class T> class nuqImageDataT;
class nuqMetricBase;

class nuqTransformBase {
 public:
  nuqTransformBase();
  virtual ~nuqTransformBase();

  // Stores both images; takes their common dimension when none is set yet.
  virtual bool SetImages(nuqImageDataT<short> *pTestImage, nuqImageDataT<short> *pRefImage);
  virtual nuqImageDataT<short> *GetTestImage() const;
  virtual nuqImageDataT<short> *GetRefImage() const;
  virtual int GetDimension() const;
  virtual bool SetDimension(int iDimension);
  // "TFM" here; "AFF", "AFFS", "FFD", "FLD" in the concrete classes.
  virtual std::string GetTransformType() const;
  virtual bool IsSameType(const nuqTransformBase *pOther) const;
  // Copies the members of this class into pTarget; a null target yields
  // null here (concrete classes create an object of their own class).
  virtual nuqTransformBase *CloneTo(nuqTransformBase *&pTarget);

  // Test-grid point -> world -> transform -> reference grid; true when the
  // result lies outside the reference grid box.
  virtual bool AdjustToRefGrid(const float *pTestGrid, float *pRefGrid);
  virtual void AdjustTestToworld(const float *pTestGrid, float *pWorld);
  virtual void TransformWorldToWorld(const float *pIn, float *pOut) = 0;
  virtual void InverseTransformWorldToWorld(const float *pIn, float *pOut);
  virtual bool GetJacobianMatrixAtTestGrid(const float *pTestGrid, float *pJacobian);
  // Central differences with a total step of one world unit (not divided).
  virtual bool GetJacobianMatrixWorld(const float *pWorld, float *pJacobian);
  virtual void PushForwardGradientVector(const float *pVector, float *pOut, const float *pWorld);
  virtual void PullBackGradientVector(const float *pVector, float *pOut, const float *pWorld);

  // Parameter algebra; p is this transform's parameter vector.
  virtual bool SetAllParameters(float fValue);
  virtual bool SetAllParametersWithoutUpdate(float fValue);
  virtual bool SetToSum(nuqTransformBase *pA, nuqTransformBase *pB);
  virtual bool Add(nuqTransformBase *pOther);
  virtual bool SetToDifference(nuqTransformBase *pA, nuqTransformBase *pB);
  virtual bool Subtract(nuqTransformBase *pOther);
  virtual bool SetToScaled(nuqTransformBase *pOther, float fFactor);
  virtual bool Scale(float fFactor);
  virtual bool SetToProduct(nuqTransformBase *pA, nuqTransformBase *pB);
  virtual bool Multiply(nuqTransformBase *pOther);
  virtual float GetMagnitude() const;
  virtual float Normalise(bool bPerGroup);
  virtual float GetMaxAbsParameter() const;
  virtual float DotProduct(nuqTransformBase *pOther) const;
  virtual bool SetIdentity() = 0;

  // Reads the common header (dimension, one-to-one flag).
  virtual bool ReadFromStream(std::istream &in);
  virtual bool ReadFromFile(const std::string &strFileName);
  virtual std::string GetTransformFileName() const;
  // The common header; concrete classes append their body.
  virtual std::string GetTransformText();
  // Appends "." + GetTransformType() unless the name already carries it.
  virtual bool SaveToFile(const std::string &strFileName);
  virtual float ConstrainToInvertible();
  virtual void SetOneToOne(bool bOneToOne);
  // p := p + f * o, through a temporary clone of o.
  virtual bool AddScaled(nuqTransformBase *pOther, float fFactor);

  virtual int GetNumberOfParameters() const = 0;
  virtual float GetParameterValue(int iIndex) const = 0;
  // Concrete classes refresh their derived data (matrices) here.
  virtual bool SetParameterValue(int iIndex, float fValue) = 0;
  virtual bool SetParameterValueWithoutUpdate(int iIndex, float fValue);
  virtual int GetNumberOfFreeParameters() const;
  virtual int CountParametersNotBelow(float fThreshold) const;
  virtual int CountPositiveParameters() const;

  // Non-virtual access to the one-to-one flag.
  bool IsOneToOne() const { return m_bOneToOne; }

 protected:
  int m_iDimension;
  bool m_bOneToOne;
  nuqImageDataT<short> *m_pTestImage;
  nuqImageDataT<short> *m_pRefImage;
  std::string m_strTransformFileName;
};

// Adds a finite-difference gradient over a metric to the interface; every
// concrete transform derives from it.
class nuqGradientBase : public nuqTransformBase {
 public:
  nuqGradientBase();
  ~nuqGradientBase() override;

  // Copies the base members and m_fGradientScale (when the target is a
  // gradient transform).
  nuqTransformBase *CloneTo(nuqTransformBase *&pTarget) override;

  // gradient_i := value(p_i + h_i) - value(p_i - h_i), h_i from the step
  // transform (1 without one), 0 where h_i <= 0; stored into this transform.
  virtual bool ComputeGradient(nuqMetricBase *pMetric, nuqTransformBase *pStep, bool bFlag);
  virtual bool UpdateParameterMask(nuqTransformBase *pTransform, nuqTransformBase *pStep, bool bPreset);
  virtual void SetGradientScale(float fScale);

  float GetGradientScale() const { return m_fGradientScale; }

 protected:
  float m_fGradientScale;
};

// Applies transforms[0], then transforms[1], ... to the first iDim
// coordinates of pIn (null entries are skipped): out = Tn(...T1(in)).
// False when the list is missing or iCount <= 0.
bool JointTransformWorldToWorld(nuqTransformBase **ppTransforms, int iCount, int iDim,
                                const float *pIn, float *pOut);

// Line rules of every transform text file: reads lines until one is
// non-empty after dropping its comment (from the first "#"; without "#" from
// the first "%"; without either from the first "?") and trimming blanks
// (space, tab, LF, CR, VT) at both ends. A line longer than 1023 characters
// is refused ("error: " line, false) unless a "#" within them starts its
// comment. False at end of file or on a stream error before such a line; a
// last line without a line break is accepted.
bool ReadTransformLine(std::istream &in, std::string &strLine);

// Parses iCount numbers (as strtod does, so "nan" and "inf" are accepted)
// from the start of the text; false when fewer numbers begin it.
bool ParseTransformNumbers(const std::string &strLine, float *pValues, int iCount);
// Same for integers (decimal, as strtol does).
bool ParseTransformIntegers(const std::string &strLine, int *pValues, int iCount);

// The next value line (ReadTransformLine) parsed as above. False when no line
// can be read or it does not begin with the expected numbers.
bool ReadTransformNumbers(std::istream &in, float *pValues, int iCount);
bool ReadTransformInteger(std::istream &in, int &iValue);
// ParseTransformNumbers of a line just read from the stream; a line that ends
// before its iCount numbers (and holds nothing else) marks the stream as
// truncated when no value line follows it.
bool ParseTransformLineNumbers(std::istream &in, const std::string &strLine, float *pValues,
                               int iCount);

// A read that failed because the file ended before all its values were read
// marks the stream (the line readers above do it); the refusal line of the
// file then says so. MarkTransformStreamTruncated is for readers with their
// own line loops; LineEndsBeforeNumbers tells whether a line holds fewer than
// iCount numbers and nothing else.
void MarkTransformStreamTruncated(std::istream &in);
bool IsTransformStreamTruncated(std::istream &in);
bool LineEndsBeforeNumbers(const std::string &strLine, int iCount);
// Whether a value line follows in the stream (consumes the rest of it).
bool HasTransformContentLeft(std::istream &in);
// " (truncated: the file ends before all its values were read)" for a marked
// stream, else empty: appended to a reader's failure line before its "\n".
std::string TruncatedStreamSuffix(std::istream &in);
