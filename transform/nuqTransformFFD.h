// The free-form deformation the tool creates (type "FFD"), and its
// registration layer: control-point masks that switch parameters of a step
// deformation on and off.
//
// A step deformation shares the grid of the deformation it updates; in it a
// control point is active when its first component is above 0, inactive at
// 0, and -1 marks a point dropped for its small magnitude.
#pragma once

#include "nuqTransformFFDBase.h"

class nuqGradientFFDBase : public nuqTransformFFDBase {
 public:
  nuqGradientFFDBase();
  ~nuqGradientFFDBase() override;

  // Also copies both masks, both auxiliary pointers and the portion.
  nuqTransformBase *CloneTo(nuqTransformBase *&pTarget) override;

  virtual void SetMaskMagnitudePortion(float fPortion);
  virtual float GetMaskMagnitudePortion() const;
  // Masks are not owned.
  virtual void SetControlPointMasks(nuqImageDataT<short> *pMask, nuqImageDataT<short> *pMappedMask);
  virtual void GetControlPointMasks(nuqImageDataT<short> *&pMask,
                                    nuqImageDataT<short> *&pMappedMask) const;
  virtual void SetAuxiliaryPointer1(void *p);
  virtual void *GetAuxiliaryPointer1() const;
  virtual void SetAuxiliaryPointer2(void *p);
  virtual void *GetAuxiliaryPointer2() const;

 protected:
  // Copies the four pointer members and the portion into pTarget.
  void CopyMaskMembersTo(nuqGradientFFDBase *pTarget) const;

  nuqImageDataT<short> *m_pControlPointMask;
  nuqImageDataT<short> *m_pMappedControlPointMask;
  void *m_pAuxiliaryPointer1;
  void *m_pAuxiliaryPointer2;
  float m_fMaskMagnitudePortion;
};

class nuqTransformFFD : public nuqGradientFFDBase {
 public:
  nuqTransformFFD();
  ~nuqTransformFFD() override;

  nuqTransformBase *CloneTo(nuqTransformBase *&pTarget) override;
  // bPreset: masks the step at the control points (own positions for the
  // control-point mask, positions mapped through pTransform for the mapped
  // mask). Otherwise drops (-1) active step points whose relative magnitude
  // in this deformation is below the portion.
  bool UpdateParameterMask(nuqTransformBase *pTransform, nuqTransformBase *pStep,
                           bool bPreset) override;
};
